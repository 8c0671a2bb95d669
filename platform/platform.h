// The few operating-system services the portable core needs: sending a
// message to a window and making one folder. One Win32 and one native side.
#pragma once

#include <cstdint>

using WindowHandle = void*;

// The byte that separates folders in paths handed to the file system.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Sends a message and waits until the window's thread has handled it.
// Returns what the window procedure returned.
intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Creates one folder (not its parents) with the platform's default
// permissions. 0 when it was created, -1 when not (it exists, the parent is
// missing, the name is invalid).
int CreateOneFolder(const char* path);
