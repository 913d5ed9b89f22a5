// A file chosen by the user, opened for reading. Opening never blocks (a FIFO
// or a device put where a file was expected is refused, not waited on), and
// the size and the bytes come from the one object that was opened, so a path
// changed in between cannot hand over something else. Where the platform
// allows it the file is opened with no sharing: a file another program is
// writing is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

class InputFile {
 public:
  enum class OpenResult {
    Ok,
    CannotOpen,      // missing, no permission, in use by another program
    NotRegularFile,  // a directory, FIFO, device, socket
  };

  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // `path` is UTF-8. An open file is closed first.
  OpenResult Open(const std::string& path);
  bool IsOpen() const;
  // The size of the opened file when it was opened.
  std::int64_t Size() const { return size_; }
  // Reads `length` bytes from the start into `data`; false when fewer could
  // be read (the file shrank) or reading failed.
  bool ReadFromStart(std::uint8_t* data, std::size_t length);
  void Close();

 private:
  std::intptr_t handle_ = -1;  // a descriptor, or a Windows handle; -1 when closed
  std::int64_t size_ = -1;
};

// A file written by the program (a trace), made anew; `path` is UTF-8.
// nullptr when it cannot be made.
std::FILE* CreateOutputFile(const std::string& path);
// Cuts the file back to `size` bytes (flushed first) and goes on writing there.
bool TruncateOutputFile(std::FILE* file, std::int64_t size);
// A file on a disk that only this file stream writes: not a pipe, a terminal,
// a device, nor the file the program's standard output or error goes to.
bool IsFileOfItsOwn(std::FILE* file);

}  // namespace platform
