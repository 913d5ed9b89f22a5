// The one crossing between the program's UTF-8 texts and the UTF-16 of the
// Windows API. Invalid sequences become U+FFFD, so a damaged name can never
// turn into a different valid one.
#pragma once

#include <string>
#include <string_view>

std::wstring Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::wstring_view utf16);
