// The payload the installer carries, read in place, and the read callback
// that hands it out in slices and moves the progress bar.
#pragma once

#include <cstdint>

// For a payload read from a file in windows: the first byte at offset (0 to
// size - 1) of a window holding it, with *available set to the bytes
// readable from there, at least 1; null when that window cannot be read or
// is not the payload's.
using PayloadWindow = const unsigned char* (*)(void* context, int64_t offset, int64_t* available);

struct PayloadView {
    const unsigned char* base;  // first byte; never written, never released; null to read through window
    int64_t size;               // byte count, above 0 whenever ReadPayload runs
    int64_t consumed;           // bytes handed out so far, 0 to size
    PayloadWindow window = nullptr;  // used when base is null
    void* windowContext = nullptr;
};

extern PayloadView g_payloadView;

// Whole percentage of size that consumed is, truncated, 0 to 100 for every
// size up to 2^56.
int PayloadPercent(int64_t consumed, int64_t size);

// Copies the next min(capacity, remaining) bytes of view to buffer and counts
// them as consumed. Returns the count, 0 once the view is exhausted, or -1
// (nothing counted) when a window of its file cannot be had.
int TakePayloadSlice(PayloadView* view, unsigned char* buffer, int capacity);

// Read callback over g_payloadView: copies the next min(capacity, remaining)
// bytes to buffer, sends the consumed percentage to the progress bar (when
// there is one, whatever the copy gave) and returns the count copied, 0 once
// the payload is exhausted, -1 when its file cannot be read. context is
// ignored.
int ReadPayload(void* context, unsigned char* buffer, int capacity);
