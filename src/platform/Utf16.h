// UTF-8, the program's own text, to and from UTF-16, the Windows API's.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Invalid sequences become U+FFFD.
std::wstring Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::wstring_view text);

}  // namespace platform
