// Win32 side of the platform layer.
#include "platform/platform.h"

#include <direct.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>

intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    return SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

int CreateOneFolder(const char* path)
{
    std::unique_ptr<char, decltype(&std::free)> copy(strdup(path), &std::free);
    if (!copy)
        return -1;
    for (char* p = copy.get(); *p != '\0'; ++p) {
        if (*p == '/')
            *p = '\\';
    }
    return _mkdir(copy.get()) == 0 ? 0 : -1;
}
