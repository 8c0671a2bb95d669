// Win32 side of the platform layer.
#include "platform/platform.h"

#include <direct.h>
#include <windows.h>

intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    return SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

int CreateOneFolder(const char* path)
{
    return _mkdir(path) == 0 ? 0 : -1;
}
