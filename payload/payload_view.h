// The payload the installer carries, read in place, and the read callback
// that hands it out in slices and moves the progress bar.
#pragma once

#include <cstdint>

struct PayloadView {
    const unsigned char* base;  // first byte; never written, never released
    int32_t size;               // byte count, above 0 whenever ReadPayload runs
    int32_t consumed;           // bytes handed out so far, 0 to size
};

extern PayloadView g_payloadView;

// Whole percentage of size that consumed is, truncated; formed in 64 bits so
// that payloads up to 2 GiB give 0 to 100.
int PayloadPercent(int32_t consumed, int32_t size);

// Copies the next min(capacity, remaining) bytes of view to buffer and counts
// them as consumed. Returns the count, 0 once the view is exhausted.
int TakePayloadSlice(PayloadView* view, unsigned char* buffer, int capacity);

// Read callback over g_payloadView: copies the next min(capacity, remaining)
// bytes to buffer, sends the consumed percentage to the progress bar (when
// there is one) and returns the count copied, 0 once the payload is
// exhausted. Never returns -1. context is ignored.
int ReadPayload(void* context, unsigned char* buffer, int capacity);
