// Bounded path building in fixed buffers of 8-bit or UTF-16 units.
// Capacities count units, the terminator included.
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
