#include "platform/File.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
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

std::FILE* CreateOutputFile(const std::string& path) {
  const std::wstring wide = SystemName(path);
  return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"wb");
}

bool TruncateOutputFile(std::FILE* file, std::int64_t size) {
  return std::fflush(file) == 0 && _chsize_s(_fileno(file), size) == 0 &&
         _fseeki64(file, size, SEEK_SET) == 0;
}

}  // namespace platform
