// Native side of the platform layer: a message hook, and POSIX calls with
// an optional name converter. It unpacks into a maker's own folder, so it
// writes as fopen does, through whatever is there (the tests lean on that to
// meet a full disk).
#include "platform/platform_native.h"

#include <sys/stat.h>

namespace {
MessageHook g_hook = nullptr;
void* g_hookContext = nullptr;
HostNameConverter g_converter = nullptr;
void* g_converterContext = nullptr;

// The host's name for path in *host; false when it does not convert.
bool HostName(const char* path, std::string* host)
{
    if (g_converter == nullptr) {
        *host = path;
        return true;
    }
    return g_converter(g_converterContext, path, host);
}

}  // namespace

void SetMessageHook(MessageHook hook, void* context)
{
    g_hook = hook;
    g_hookContext = context;
}

void SetHostNameConverter(HostNameConverter converter, void* context)
{
    g_converter = converter;
    g_converterContext = context;
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
    std::string host;
    if (!HostName(path, &host))
        return kPlatformBadName;
    return mkdir(host.c_str(), 0777) == 0 ? kPlatformDone : kPlatformFailed;
}

FILE* CreateNewFile(const char* path, int* result)
{
    std::string host;
    if (!HostName(path, &host)) {
        *result = kPlatformBadName;
        return nullptr;
    }
    FILE* file = std::fopen(host.c_str(), "wb");
    *result = file != nullptr ? kPlatformDone : kPlatformFailed;
    return file;
}
