// The appended payload's record.
#include "payload/appended_payload.h"

#include <cstring>

static uint64_t Read64(const unsigned char* bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

static void Write64(uint64_t value, unsigned char* bytes)
{
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

RecordKind ReadAppendedRecord(const unsigned char* record, uint64_t size, AppendedPayload* payload)
{
    if (size < kAppendedHeaderBytes)
        return RecordKind::kNone;
    // No memcmp: setup.exe takes only the C runtime functions it lists.
    for (size_t i = 0; i < sizeof kAppendedMarker; ++i) {
        if (record[i] != static_cast<unsigned char>(kAppendedMarker[i]))
            return RecordKind::kNone;
    }
    const uint64_t offset = Read64(record + 16);
    const uint64_t length = Read64(record + 24);
    // The offset is not judged here: the build writes it last, and the
    // installer checks it against its file.
    if (length == 0 || length > kMaxPayloadBytes || size != AppendedRecordBytes(length))
        return RecordKind::kBroken;
    *payload = {offset, length, record + kAppendedHeaderBytes};
    return RecordKind::kRecord;
}

void WriteAppendedHeader(uint64_t offset, uint64_t length, unsigned char* record)
{
    std::memcpy(record, kAppendedMarker, sizeof kAppendedMarker);
    Write64(offset, record + 16);
    Write64(length, record + 24);
}
