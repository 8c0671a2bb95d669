// Walks and extractions over a payload in memory, with a progress callback.
#include "payload/payload_range.h"

#include "payload/payload_view.h"

namespace {

struct RangeSource {
    PayloadView view;
    const PayloadRange* range;
};

int ReadRange(void* context, unsigned char* buffer, int capacity)
{
    auto* source = static_cast<RangeSource*>(context);
    int n = TakePayloadSlice(&source->view, buffer, capacity);
    const PayloadRange& range = *source->range;
    if (range.progress != nullptr)
        range.progress(range.context, PayloadPercent(source->view.consumed, source->view.size));
    return n;
}

}  // namespace

const char* ExtractPayloadRange(const PayloadRange& range)
{
    RangeSource source{{range.base, range.size, 0, nullptr, nullptr}, &range};
    return ExtractArchiveFrom(ReadRange, &source);
}

const char* WalkPayloadRange(const PayloadRange& range, const ArchiveEntryHandler& handler)
{
    RangeSource source{{range.base, range.size, 0, nullptr, nullptr}, &range};
    return WalkArchiveFrom(ReadRange, &source, handler);
}
