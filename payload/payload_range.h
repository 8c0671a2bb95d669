// Runs over a payload held in memory, for the native callers (quarn, the
// bench, tests): the same walk and extraction as the installer's, with the
// consumed percentage going to a callback instead of a progress bar. Nothing
// is sent to a window and no stop reason is recorded.
#pragma once

#include <cstdint>

#include "payload/archive_extractor.h"

// Called after each slice handed to the reader with the whole percentage of
// the payload consumed so far, 0 to 100.
using PayloadProgress = void (*)(void* context, int percent);

struct PayloadRange {
    const unsigned char* base;
    int64_t size;
    PayloadProgress progress;  // null for none
    void* context;
};

// Unpacks the payload's archive into the current directory. Returns the
// stop reason, null after a clean end.
const char* ExtractPayloadRange(const PayloadRange& range);

// Walks the payload's archive with handler. Returns the stop reason, null
// after a clean end.
const char* WalkPayloadRange(const PayloadRange& range, const ArchiveEntryHandler& handler);
