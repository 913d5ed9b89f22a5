#include "platform/File.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "platform/Utf16.h"

namespace platform {

namespace {

// The name to give CreateFileW. A full path of MAX_PATH (260) characters or
// more opens only in the \\?\ form, which the system takes as it is: so it
// is made absolute and normalised first (separators, "." and "..").
std::wstring SystemName(const std::string& utf8) {
  std::wstring name = Utf8ToUtf16(utf8);
  if (name.empty()) return name;
  std::wstring full(32768, L'\0');
  const DWORD length =
      GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size() || length < MAX_PATH) return name;
  full.resize(length);
  if (full.rfind(LR"(\\?\)", 0) == 0 || full.rfind(LR"(\\.\)", 0) == 0) return full;
  if (full.rfind(LR"(\\)", 0) == 0) return LR"(\\?\UNC\)" + full.substr(2);
  return LR"(\\?\)" + full;
}

}  // namespace

InputFile::~InputFile() { Close(); }

InputFile::OpenResult InputFile::Open(const std::string& path) {
  Close();
  const std::wstring name = SystemName(path);
  if (name.empty()) return OpenResult::CannotOpen;
  // Share mode 0: no other program may write (or even read) it meanwhile.
  HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A directory cannot be opened this way at all.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    const bool directory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return directory ? OpenResult::NotRegularFile : OpenResult::CannotOpen;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(h, &size)) {
    CloseHandle(h);
    return OpenResult::NotRegularFile;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  size_ = size.QuadPart;
  return OpenResult::Ok;
}

bool InputFile::IsOpen() const { return handle_ != -1; }

bool InputFile::ReadFromStart(std::uint8_t* data, std::size_t length) {
  if (handle_ == -1) return false;
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(h, start, nullptr, FILE_BEGIN)) return false;
  std::size_t done = 0;
  while (done < length) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 20));
    DWORD got = 0;
    if (!ReadFile(h, data + done, want, &got, nullptr) || got == 0) return false;
    done += got;
  }
  return true;
}

void InputFile::Close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  size_ = -1;
}

namespace {

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// Standard output or error goes to the file `info` is.
bool IsStandardOutput(const BY_HANDLE_FILE_INFORMATION& info) {
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    BY_HANDLE_FILE_INFORMATION out{};
    const HANDLE standard = GetStdHandle(which);
    if (standard != nullptr && standard != INVALID_HANDLE_VALUE &&
        GetFileType(standard) == FILE_TYPE_DISK && GetFileInformationByHandle(standard, &out) &&
        SameFile(out, info))
      return true;
  }
  return false;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool IsDriveLetterPath(const std::wstring& text, std::size_t at) {
  return text.size() > at + 2 && iswalpha(text[at]) && text[at + 1] == L':' &&
         (text[at + 2] == L'\\' || text[at + 2] == L'/');
}

}  // namespace

std::string CheckOutputPath(const std::string& path) {
  const std::wstring name = Utf8ToUtf16(path);
  if (name.empty()) return "an empty name";
  // COM3, NUL, CON (in any folder, with any extension) come back as \\.\COM3:
  // only a path on a drive or a share is a file.
  std::wstring full(32768, L'\0');
  const DWORD length =
      GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return "cannot be looked at";
  full.resize(length);
  const bool onDisk = IsDriveLetterPath(full, 0) ||
                      (StartsWith(full, LR"(\\)") && !StartsWith(full, LR"(\\.\)") &&
                       !StartsWith(full, LR"(\\?\)")) ||
                      (StartsWith(full, LR"(\\?\)") &&
                       (IsDriveLetterPath(full, 4) || StartsWith(full, LR"(\\?\UNC\)")));
  if (!onDisk) return "a device, not a regular file";
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(SystemName(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};  // nothing there yet: made anew
  FindClose(search);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "a directory, not a regular file";
  // A link might lead to a device; other reparse points (files kept in the
  // cloud) are files.
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK || found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT))
    return "a link: give the file it leads to";
  return {};
}

std::FILE* OpenOutputFile(const std::string& path, bool* shared, std::string* error) {
  if (std::string why = CheckOutputPath(path); !why.empty()) {
    *error = why;
    return nullptr;
  }
  const HANDLE h = CreateFileW(SystemName(path).c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "error " + std::to_string(GetLastError());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(h);
    *error = "it changed while it was being opened";
    return nullptr;
  }
  // `>> run.log` and --trace run.log: written after what is there, as on Linux.
  *shared = IsStandardOutput(info);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
                                 _O_WRONLY | _O_BINARY | (*shared ? _O_APPEND : 0));
  if (fd < 0) {
    CloseHandle(h);
    *error = "it cannot be opened";
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, *shared ? "ab" : "wb");
  if (file == nullptr) {
    _close(fd);
    *error = "it cannot be opened";
  }
  return file;
}

bool TruncateOutputFile(std::FILE* file, std::int64_t size) {
  return std::fflush(file) == 0 && _chsize_s(_fileno(file), size) == 0 &&
         _fseeki64(file, size, SEEK_SET) == 0;
}

bool IsFileOfItsOwn(std::FILE* file) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  BY_HANDLE_FILE_INFORMATION info{};
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(handle, &info) && !IsStandardOutput(info);
}

}  // namespace platform
