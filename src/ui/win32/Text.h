// Texts cross from the programmer's UTF-8 to the system's UTF-16 here only.
#pragma once

#include <string>

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
