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

// A file the program writes (a trace); `path` is UTF-8. Only a regular file
// is taken (made when missing), or the program's own standard output or
// error wherever it goes (/dev/stdout, or the file it is redirected to). A
// device, FIFO, socket or directory is refused without being opened: opening
// a serial device alone raises its DTR and RTS lines, and a FIFO without a
// reader would hold the program. Empty when `path` may be written, else why
// not. Opens nothing.
std::string CheckOutputPath(const std::string& path);
// Opens what CheckOutputPath let through, making it when missing, without
// emptying it: what was opened is checked again, so that a path swapped in
// between is refused too. `*shared`: standard output or error goes there,
// so it is written after what is there and never emptied nor cut back.
// nullptr, with `error` set to why, when it is refused or cannot be opened.
std::FILE* OpenOutputFile(const std::string& path, bool* shared, std::string* error);
// Cuts the file back to `size` bytes (flushed first) and goes on writing there.
bool TruncateOutputFile(std::FILE* file, std::int64_t size);
// A file on a disk that only this file stream writes: not a pipe, a terminal,
// a device, nor the file the program's standard output or error goes to.
bool IsFileOfItsOwn(std::FILE* file);

}  // namespace platform
