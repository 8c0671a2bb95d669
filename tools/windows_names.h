// Names as Windows will hold them: UTF-8 names from the maker's disk turned
// into Windows-1252 bytes and back, the names Windows refuses or changes, and
// the case folding by which it compares names.
#pragma once

#include <string>

// Converts a UTF-8 name to Windows-1252. False when the bytes are not valid
// UTF-8 (overlong forms and surrogates included) or a character has no
// Windows-1252 byte.
bool Utf8ToCp1252(const std::string& utf8, std::string* cp1252);

// The other way, for showing archive names; the five bytes Windows-1252
// leaves undefined become '?'.
std::string Cp1252ToUtf8(const std::string& cp1252);

// Why Windows could not hold this Windows-1252 name as it stands, or null.
const char* WindowsNameProblem(const std::string& name);

// Upper-cases the letters of a Windows-1252 name, as Windows compares names.
std::string FoldCase(const std::string& name);
