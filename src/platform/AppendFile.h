// A record file that only grows: opened for appending, each record written
// whole with one write and flushed to the disk before Append returns, so
// several programs may append to it at once without mixing their records and
// a power cut loses at most the record being written.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // `path` is UTF-8; the file is made when missing, never truncated. False
  // with `error` set when it cannot be opened.
  bool Open(const std::string& path, std::string* error);
  // One write of `record`, then a flush to the disk; false with `error` set
  // when either fails.
  bool Append(const std::string& record, std::string* error);

 private:
  std::intptr_t handle_ = -1;
};

// This machine's name, as the network knows it; empty when unknown.
std::string MachineName();

}  // namespace platform
