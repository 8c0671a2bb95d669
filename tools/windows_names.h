// Names as Windows will hold them: UTF-8 names from the maker's disk turned
// into the encoding the installer is built with (Windows-1252 or UTF-8) and
// back, their length as Windows counts it, the names Windows refuses or
// changes, and the case folding by which it compares names.
#pragma once

#include <cstddef>
#include <string>

enum class NameEncoding { kWindows1252, kUtf8 };

// "windows-1252" or "utf-8", in any case; false for anything else.
bool ParseNameEncoding(const std::string& text, NameEncoding* encoding);

// "Windows-1252" or "UTF-8", for messages.
const char* NameEncodingName(NameEncoding encoding);

// Converts a UTF-8 name to Windows-1252. False when the bytes are not valid
// UTF-8 (overlong forms and surrogates included) or a character has no
// Windows-1252 byte.
bool Utf8ToCp1252(const std::string& utf8, std::string* cp1252);

// The other way, for showing archive names; the five bytes Windows-1252
// leaves undefined become '?'.
std::string Cp1252ToUtf8(const std::string& cp1252);

// A UTF-8 name in the encoding: as Utf8ToCp1252, or the same bytes once
// they are found to be UTF-8. False when it does not convert.
bool EncodeName(const std::string& utf8, NameEncoding encoding, std::string* name);

// Why EncodeName refused a name: "is not UTF-8", and for Windows-1252 "or
// holds a character Windows-1252 lacks".
std::string EncodingProblem(NameEncoding encoding);

// A name in the encoding as UTF-8; false for bytes the encoding leaves
// undefined (and, in UTF-8, for bytes that are not UTF-8), as setup.exe
// refuses them.
bool DecodeName(const std::string& name, NameEncoding encoding, std::string* utf8);

// The same for showing: what does not convert becomes '?'.
std::string ShowName(const std::string& name, NameEncoding encoding);

// The name's length in UTF-16 units, which Windows' path limits count: a
// character beyond U+FFFF counts two.
size_t Utf16Units(const std::string& name, NameEncoding encoding);

// Why Windows could not hold this name (in either encoding) as it stands, or
// null.
const char* WindowsNameProblem(const std::string& name);

// Upper-cases the letters of a name, as Windows compares names.
std::string FoldCase(const std::string& name, NameEncoding encoding);

// False when FoldCase cannot fold names of this encoding on this machine:
// UTF-8 needs glibc's C.UTF-8 locale; Windows-1252 has its own table.
bool CanFoldCase(NameEncoding encoding);
