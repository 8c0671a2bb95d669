// Bounded path building in fixed 8-bit buffers, and making one folder from a
// path that may use '/'. Capacities count bytes, the terminator included.
#pragma once

// strncpy rule, then dest[capacity - 1] = 0: always terminated, longer
// sources cut. Returns dest; null (dest untouched) when capacity < 1.
char* CopyBounded(char* dest, const char* src, int capacity);

// Appends text to the terminated string in buffer, cutting at capacity - 1.
void AppendBounded(char* buffer, int capacity, const char* text);

// Appends a backslash, then component; both cut at capacity - 1.
void AppendPathComponent(char* buffer, int capacity, const char* component);

// Creates the one folder path names, after turning '/' into the platform's
// separator; parents are not made. mode is accepted and unused: the folder
// gets the platform's default permissions. 0 when created, -1 otherwise. The
// caller's string is not changed.
int MakeDirectory(const char* path, int mode);
