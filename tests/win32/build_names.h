// The build's 8-bit names (in its code page, kNameCodePage) as UTF-16 for
// wide calls, and as UTF-8 to hold against the tables, which are UTF-8.
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform_win32.h"
#include "tests/win32/wide_text.h"

inline std::wstring BuildWide(const std::string& name)
{
    std::wstring wide(name.size() + 1, L'\0');
    int units = WidenName(name.c_str(), &wide[0], static_cast<int>(wide.size()));
    wide.resize(units > 0 ? static_cast<size_t>(units - 1) : 0);
    return wide;
}

inline std::string BuildUtf8(const std::string& name) { return Utf8(BuildWide(name)); }
