// Payload slices and progress.
#include "payload/payload_view.h"

#include <cstring>

#include "payload/progress_window.h"

PayloadView g_payloadView = {nullptr, 0, 0};
std::atomic<WindowHandle> g_progressDialog{nullptr};
std::atomic<WindowHandle> g_progressBar{nullptr};

int PayloadPercent(int32_t consumed, int32_t size)
{
    if (size <= 0)
        return 0;
    return static_cast<int>(static_cast<int64_t>(consumed) * 100 / size);
}

int TakePayloadSlice(PayloadView* view, unsigned char* buffer, int capacity)
{
    int32_t n = view->size - view->consumed;
    if (n > capacity)
        n = capacity;
    if (n < 0)
        n = 0;
    if (n > 0)
        std::memcpy(buffer, view->base + view->consumed, static_cast<size_t>(n));
    view->consumed += n;
    return n;
}

int ReadPayload(void* context, unsigned char* buffer, int capacity)
{
    (void)context;
    int n = TakePayloadSlice(&g_payloadView, buffer, capacity);
    WindowHandle bar = g_progressBar.load();
    if (bar != nullptr)
        SendWindowMessage(bar, kProgressSetPos,
                          static_cast<uintptr_t>(PayloadPercent(g_payloadView.consumed, g_payloadView.size)), 0);
    return n;
}
