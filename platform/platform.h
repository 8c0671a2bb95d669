// The few operating-system services the portable core needs: sending a
// message to a window and making one folder. One Win32 and one native side.
#pragma once

#include <cstdint>

using WindowHandle = void*;

// Sends a message and waits until the window's thread has handled it.
// Returns what the window procedure returned.
intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Creates one folder (not its parents) with the platform's default
// permissions. The path may separate folders with '/'; the caller's string is
// not changed. 0 when it was created, -1 when not (it exists, the parent is
// missing, the name is invalid, no memory for the path).
int CreateOneFolder(const char* path);
