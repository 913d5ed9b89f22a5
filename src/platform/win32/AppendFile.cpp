#include "platform/AppendFile.h"

#include <windows.h>

#include <optional>

#include "platform/Utf16.h"

namespace platform {

namespace {

std::string LastError() { return "error " + std::to_string(GetLastError()); }

// Held from the look at the file's end to the write: two programs that both
// saw a cut line would each close it, leaving an empty line between records.
// The byte locked lies far past any end, so no read or write ever meets it;
// bounded, so a stranger holding it cannot stop a record.
class EndLock {
 public:
  explicit EndLock(HANDLE h) : h_(h) {
    const ULONGLONG deadline = GetTickCount64() + 2000;
    for (;;) {
      OVERLAPPED at = Far();
      if (LockFileEx(h_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        held_ = true;
        return;
      }
      if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() > deadline) return;
      Sleep(1);
    }
  }
  ~EndLock() {
    if (!held_) return;
    OVERLAPPED at = Far();
    (void)UnlockFileEx(h_, 0, 1, 0, &at);
  }
  EndLock(const EndLock&) = delete;
  EndLock& operator=(const EndLock&) = delete;

 private:
  static OVERLAPPED Far() {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    return at;
  }
  HANDLE h_;
  bool held_ = false;
};

}  // namespace

AppendFile::~AppendFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool AppendFile::Open(const std::string& path, std::string* error) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end as
  // one piece, also when other programs append to the same file. Read access
  // only to see how the file ends (Append).
  const HANDLE h = CreateFileW(Utf8ToUtf16(path).c_str(),
                               FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return true;
}

bool AppendFile::Append(const std::string& record, std::string* error) {
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  // A line cut short (a full disk, a crash mid-write, here or in another
  // program) is closed first, so this one is not glued to it and lost too.
  std::optional<EndLock> lock(std::in_place, h);
  std::string whole;
  const std::string* out = &record;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
    OVERLAPPED at{};
    const ULONGLONG offset = static_cast<ULONGLONG>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    char last = '\n';
    DWORD got = 0;
    if (ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n') {
      whole = "\n" + record;
      out = &whole;
    }
  }
  DWORD written = 0;
  if (!WriteFile(h, out->data(), static_cast<DWORD>(out->size()), &written, nullptr) ||
      written != out->size()) {
    *error = LastError();
    return false;
  }
  lock.reset();
  // Only a file on a disk can be flushed; on a pipe the flush would wait for its reader.
  if (GetFileType(h) != FILE_TYPE_DISK) return true;
  if (!FlushFileBuffers(h)) {
    *error = LastError();
    return false;
  }
  return true;
}

std::string MachineName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  return Utf16ToUtf8(name);
}

}  // namespace platform
