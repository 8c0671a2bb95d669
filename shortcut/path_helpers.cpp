// Bounded path helpers, for 8-bit names and for the UTF-16 paths of the
// Windows shell.
#include "shortcut/path_helpers.h"

namespace {

template <typename Char>
int Length(const Char* text)
{
    int length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

}  // namespace

template <typename Char>
Char* CopyBounded(Char* dest, const Char* src, int capacity)
{
    if (capacity < 1)
        return nullptr;
    int i = 0;
    for (; i < capacity && src[i] != 0; ++i)
        dest[i] = src[i];
    for (; i < capacity; ++i)
        dest[i] = 0;
    dest[capacity - 1] = 0;
    return dest;
}

template <typename Char>
void AppendBounded(Char* buffer, int capacity, const Char* text)
{
    int length = Length(buffer);
    // No room: also keeps capacity - length from overflowing.
    if (length >= capacity)
        return;
    CopyBounded(buffer + length, text, capacity - length);
}

template <typename Char>
void AppendPathComponent(Char* buffer, int capacity, const Char* component)
{
    const Char separator[] = {'\\', 0};
    AppendBounded(buffer, capacity, separator);
    AppendBounded(buffer, capacity, component);
}

template char* CopyBounded(char*, const char*, int);
template void AppendBounded(char*, int, const char*);
template void AppendPathComponent(char*, int, const char*);
template wchar_t* CopyBounded(wchar_t*, const wchar_t*, int);
template void AppendBounded(wchar_t*, int, const wchar_t*);
template void AppendPathComponent(wchar_t*, int, const wchar_t*);
