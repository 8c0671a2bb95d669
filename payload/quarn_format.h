// The Quarn archive format, as its reader, its writer and the tools share it.
//
// The header line, then entries until the zlib stream ends. A folder is the
// folder tag, then its path; a file is the file tag, its size in decimal,
// its path, then exactly that many raw bytes. Lines end with LF (a reader
// drops CR); paths are relative and use '/'.
#pragma once

#include <cstdint>

inline constexpr char kQuarnHeader[] = "Quarn\n";
inline constexpr char kQuarnFolderTag[] = "d\n";
inline constexpr char kQuarnFileTag[] = "f\n";
inline constexpr int kQuarnHeaderBytes = sizeof kQuarnHeader - 1;
inline constexpr int kQuarnTagBytes = sizeof kQuarnFolderTag - 1;
static_assert(sizeof kQuarnFileTag == sizeof kQuarnFolderTag, "both tags have one length");

// The reader holds a line in kQuarnLineBuffer bytes with its NUL, so the
// longest line, its LF counted, is kQuarnMaxLine bytes.
inline constexpr int kQuarnLineBuffer = 5000;
inline constexpr int kQuarnMaxLine = kQuarnLineBuffer - 1;

// A file's body size is read as a signed 32-bit count. (The payload's own
// size is 64-bit.)
inline constexpr int32_t kQuarnMaxSize = INT32_MAX;
