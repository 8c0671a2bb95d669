// The installer's 8-bit names as Windows' own UTF-16 names. Every name is
// written in the code page the installer was built with, whatever code page
// the player's Windows uses, so each is converted with that one before a
// wide call. Windows only.
#pragma once

// 1252 (Windows-1252) or 65001 (UTF-8); defined by the build's
// configuration, beside the names themselves.
extern const unsigned kNameCodePage;

// Converts name to UTF-16 in wide, terminator included, within capacity
// units. Returns the units written (terminator included), or 0 when the name
// holds a byte sequence the code page does not define or does not fit.
int WidenName(const char* name, wchar_t* wide, int capacity);
