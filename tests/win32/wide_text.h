// UTF-16 text as 8-bit text in a code page, and UTF-8 as UTF-16, for the
// Windows tests and the driver.
#pragma once

#include <windows.h>

#include <string>

// UTF-16 in the given code page, such as CP_UTF8 or the build's kNameCodePage.
inline std::string Narrow(const std::wstring& wide, unsigned codePage)
{
    int size = WideCharToMultiByte(codePage, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(codePage, 0, wide.c_str(), -1, &text[0], size, nullptr, nullptr);
    text.resize(size > 0 ? static_cast<size_t>(size - 1) : 0);
    return text;
}

inline std::string Utf8(const std::wstring& wide) { return Narrow(wide, CP_UTF8); }

inline std::wstring Wide(const std::string& utf8)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring text(size > 0 ? static_cast<size_t>(size) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &text[0], size);
    text.resize(size > 0 ? static_cast<size_t>(size - 1) : 0);
    return text;
}
