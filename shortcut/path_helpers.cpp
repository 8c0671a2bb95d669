// Bounded path helpers.
#include "shortcut/path_helpers.h"

#include <cstring>

#include "platform/platform.h"

char* CopyBounded(char* dest, const char* src, int capacity)
{
    if (capacity < 1)
        return nullptr;
    std::strncpy(dest, src, static_cast<size_t>(capacity));
    dest[capacity - 1] = '\0';
    return dest;
}

void AppendBounded(char* buffer, int capacity, const char* text)
{
    int length = static_cast<int>(std::strlen(buffer));
    // No room: also keeps capacity - length from overflowing.
    if (length >= capacity)
        return;
    CopyBounded(buffer + length, text, capacity - length);
}

void AppendPathComponent(char* buffer, int capacity, const char* component)
{
    AppendBounded(buffer, capacity, "\\");
    AppendBounded(buffer, capacity, component);
}

int MakeDirectory(const char* path, int mode)
{
    (void)mode;
    return CreateOneFolder(path);
}
