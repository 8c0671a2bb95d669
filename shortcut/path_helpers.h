// Bounded path building in fixed buffers of 8-bit or UTF-16 units, and
// making one folder from a path that may use '/'. Capacities count units,
// the terminator included.
#pragma once

// strncpy rule, then dest[capacity - 1] = 0: always terminated, longer
// sources cut. Returns dest; null (dest untouched) when capacity < 1.
template <typename Char>
Char* CopyBounded(Char* dest, const Char* src, int capacity);

// Appends text to the terminated string in buffer, cutting at capacity - 1.
template <typename Char>
void AppendBounded(Char* buffer, int capacity, const Char* text);

// Appends a backslash, then component; both cut at capacity - 1.
template <typename Char>
void AppendPathComponent(Char* buffer, int capacity, const Char* component);

// Creates the one folder path names, after turning '/' into the platform's
// separator; parents are not made. mode is accepted and unused: the folder
// gets the platform's default permissions. 0 when created, -1 otherwise. The
// caller's string is not changed.
int MakeDirectory(const char* path, int mode);
