// The build's 8-bit names (in its code page, kNameCodePage) as UTF-16 for
// wide calls, and as UTF-8 to hold against the tables, which are UTF-8.
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform_win32.h"

inline std::wstring BuildWide(const std::string& name)
{
    std::wstring wide(name.size() + 1, L'\0');
    int units = WidenName(name.c_str(), &wide[0], static_cast<int>(wide.size()));
    wide.resize(units > 0 ? static_cast<size_t>(units - 1) : 0);
    return wide;
}

// UTF-16 in the given code page; CP_UTF8 or the build's kNameCodePage.
inline std::string Narrow(const std::wstring& wide, unsigned codePage)
{
    int size = WideCharToMultiByte(codePage, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(codePage, 0, wide.c_str(), -1, &text[0], size, nullptr, nullptr);
    text.resize(size > 0 ? static_cast<size_t>(size - 1) : 0);
    return text;
}

inline std::string BuildUtf8(const std::string& name) { return Narrow(BuildWide(name), CP_UTF8); }
