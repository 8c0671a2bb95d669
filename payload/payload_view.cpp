// Payload slices and progress.
#include "payload/payload_view.h"

#include <cstring>

#include "payload/progress_window.h"

PayloadView g_payloadView = {nullptr, 0, 0, nullptr, nullptr};
std::atomic<WindowHandle> g_progressDialog{nullptr};
std::atomic<WindowHandle> g_progressBar{nullptr};

int PayloadPercent(int64_t consumed, int64_t size)
{
    if (size <= 0)
        return 0;
    // The largest whole p with p * size <= consumed * 100, found without a
    // 64-bit division, which 32-bit code takes from the compiler's runtime.
    int percent = 0;
    for (int step = 64; step > 0; step /= 2) {
        if (percent + step <= 100 && (percent + step) * size <= consumed * 100)
            percent += step;
    }
    return percent;
}

int TakePayloadSlice(PayloadView* view, unsigned char* buffer, int capacity)
{
    int64_t n = view->size - view->consumed;
    if (n > capacity)
        n = capacity;
    if (n < 0)
        n = 0;
    if (view->base != nullptr) {
        if (n > 0)
            std::memcpy(buffer, view->base + view->consumed, static_cast<size_t>(n));
    } else {
        // A slice may span the edge of two windows.
        for (int64_t done = 0; done < n;) {
            int64_t available = 0;
            const unsigned char* at = view->window(view->windowContext, view->consumed + done, &available);
            if (at == nullptr || available < 1)
                return -1;
            int64_t piece = n - done < available ? n - done : available;
            std::memcpy(buffer + done, at, static_cast<size_t>(piece));
            done += piece;
        }
    }
    view->consumed += n;
    return static_cast<int>(n);
}

int ReadPayload(void* context, unsigned char* buffer, int capacity)
{
    (void)context;
    // The position goes out after a failed read too, as after every call.
    int n = TakePayloadSlice(&g_payloadView, buffer, capacity);
    WindowHandle bar = g_progressBar.load();
    if (bar != nullptr)
        SendWindowMessage(bar, kProgressSetPos,
                          static_cast<uintptr_t>(PayloadPercent(g_payloadView.consumed, g_payloadView.size)), 0);
    return n;
}
