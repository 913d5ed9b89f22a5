// UTF-8 to UTF-16 and back, for the Windows calls that take wide strings.
// Malformed input becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::wstring Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::wstring_view text);

}  // namespace platform
