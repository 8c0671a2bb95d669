// The few operating-system services the portable core needs: sending a
// message to a window, making one folder and creating one file. One Win32
// and one native side. Names are 8-bit strings in the code page the
// installer was built with; each side turns them into the system's own
// names, and a name that does not convert is never used in another form.
#pragma once

#include <cstdint>
#include <cstdio>

using WindowHandle = void*;

// Sends a message and waits until the window's thread has handled it.
// Returns what the window procedure returned.
intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Results of the file-system operations below.
constexpr int kPlatformDone = 0;
constexpr int kPlatformFailed = -1;
// The name does not convert to the system's names.
constexpr int kPlatformBadName = -2;
// A link that leads elsewhere stands at the path or above it, inside the
// current directory; nothing was made through it.
constexpr int kPlatformLinkInTheWay = -3;

// Creates one folder (not its parents) with the platform's default
// permissions. The path may separate folders with '/'; the caller's string is
// not changed. kPlatformDone when it was created, kPlatformFailed when not
// (it exists, the parent is missing, the name is invalid, no memory for the
// path), kPlatformBadName, or, on Windows, kPlatformLinkInTheWay (a folder
// that exists already counts as a link when it leads elsewhere).
int CreateOneFolder(const char* path);

// Creates path (relative, '/' allowed) as an empty file open for binary
// writing. On Windows it is a new file in place of whatever file was there:
// an existing file is removed first, so a second name of another file loses
// only that name. The native side opens the path as fopen's "wb" does.
// Returns the stream, or null with *result set to kPlatformFailed,
// kPlatformBadName or kPlatformLinkInTheWay.
FILE* CreateNewFile(const char* path, int* result);
