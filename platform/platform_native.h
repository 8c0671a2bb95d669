// Native side of the platform layer: there are no windows, so messages go to
// a hook that tests and host tools install to watch them.
#pragma once

#include "platform/platform.h"

using MessageHook = intptr_t (*)(void* context, WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Installs the hook that receives every message sent; null removes it.
void SetMessageHook(MessageHook hook, void* context);
