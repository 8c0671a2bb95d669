// Native side of the platform layer: a message hook and POSIX mkdir.
#include "platform/platform_native.h"

#include <sys/stat.h>

namespace {
MessageHook g_hook = nullptr;
void* g_hookContext = nullptr;
}  // namespace

void SetMessageHook(MessageHook hook, void* context)
{
    g_hook = hook;
    g_hookContext = context;
}

intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    if (g_hook == nullptr)
        return 0;
    return g_hook(g_hookContext, window, message, wParam, lParam);
}

// '/' is already the separator here.
int CreateOneFolder(const char* path)
{
    return mkdir(path, 0777) == 0 ? 0 : -1;
}
