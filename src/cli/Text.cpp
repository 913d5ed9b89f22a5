#include "cli/Text.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#ifdef _WIN32
#include "platform/Utf16.h"
#endif

namespace cli {

std::string ErrorLine(const std::string& text) { return std::string(kProgram) + ": " + text; }

int NumberAfterColon(const std::string& line) {
  const auto colon = line.rfind(':');
  if (colon == std::string::npos) return -1;
  const std::string rest = line.substr(colon + 1);
  const auto first = rest.find_first_not_of(' ');
  if (first == std::string::npos || rest[first] < '0' || rest[first] > '9') return -1;
  return std::atoi(rest.c_str() + first);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Extension(const std::string& file) {
  // By hand rather than through std::filesystem, which on Windows reads a
  // narrow name in the ANSI code page, not as UTF-8.
#ifdef _WIN32
  const auto slash = file.find_last_of("/\\");
#else
  const auto slash = file.rfind('/');
#endif
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  const auto dot = name.rfind('.');
  // A name that only starts with a dot (".sbin") has no extension.
  if (dot == std::string::npos || dot == 0 || name == "..") return {};
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext;
}

std::string AbsolutePath(const std::string& file) {
#ifdef _WIN32
  return platform::Utf16ToUtf8(std::filesystem::absolute(platform::Utf8ToUtf16(file)).wstring());
#else
  return std::filesystem::absolute(file).string();
#endif
}

std::string LocalIsoTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
  return buffer;
}

std::string UtcIsoTime() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buffer;
}

}  // namespace cli
