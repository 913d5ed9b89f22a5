#include "platform/File.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <limits>
#include <string>

namespace platform {

namespace {

// UTF-8 to UTF-16; empty for a name that is not valid UTF-8.
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty() || utf8.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return {};
  const int size = static_cast<int>(utf8.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), length);
  return wide;
}

}  // namespace

InputFile::~InputFile() { Close(); }

InputFile::OpenResult InputFile::Open(const std::string& path) {
  Close();
  const std::wstring name = Wide(path);
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

std::FILE* CreateOutputFile(const std::string& path) {
  const std::wstring wide = Wide(path);
  return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"wb");
}

bool TruncateOutputFile(std::FILE* file, std::int64_t size) {
  return std::fflush(file) == 0 && _chsize_s(_fileno(file), size) == 0 &&
         _fseeki64(file, size, SEEK_SET) == 0;
}

}  // namespace platform
