// Native side of the platform layer: there are no windows, so messages go to
// a hook that tests and host tools install to watch them; and names reach
// the file system as they stand unless a converter is installed.
#pragma once

#include <string>

#include "platform/platform.h"

using MessageHook = intptr_t (*)(void* context, WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Installs the hook that receives every message sent; null removes it.
void SetMessageHook(MessageHook hook, void* context);

// Turns an archive name into the host's name for the file-system calls;
// false when it does not convert.
using HostNameConverter = bool (*)(void* context, const char* name, std::string* hostName);

// Installs the converter the file-system calls use; null removes it, and
// names are used as they stand.
void SetHostNameConverter(HostNameConverter converter, void* context);
