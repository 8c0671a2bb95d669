// A payload too large to be a resource follows setup.exe's image, where the
// loader never maps it; the payload resource then holds this record in its
// place, saying where the stream lies in the file and what each window of it
// must hash to. The record is inside the image, so inside what the loader
// mapped and the signature vouched for; the file itself is read again by
// name, and anything may stand at that name by then, so no byte of the
// stream is used before its window's digest matches. A zlib stream never
// starts with the marker, so the two forms cannot be mistaken for each other.
#pragma once

#include <cstdint>

// The largest payload carried as a resource: the loader maps the image whole
// into the installer's 32-bit address space, in one free range, and larger
// images fail to load on some machines.
constexpr uint64_t kMaxResourcePayloadBytes = uint64_t{1} << 30;

// Offsets in a Windows program's file, the Authenticode signature's among
// them, are 32-bit, so the signed setup.exe must stay under kFileLimit;
// kSignatureRoom is kept after the payload for the signature.
constexpr uint64_t kFileLimit = uint64_t{1} << 32;
constexpr uint64_t kSignatureRoom = uint64_t{1} << 20;
// The largest payload, 4 GiB less 16 MiB: room for the image with this
// record, and the signature.
constexpr uint64_t kMaxPayloadBytes = kFileLimit - (uint64_t{1} << 24);

// The marker, its NUL included, then the offset and the length, each 64-bit
// little-endian, then the SHA-256 digest of each window of the stream in
// order: kAppendedWindowBytes each, the last one the rest.
inline constexpr char kAppendedMarker[16] = "Quarn appended\n";
constexpr int kAppendedHeaderBytes = 32;
constexpr int kAppendedDigestBytes = 32;
// Large enough that each read is worth a disk's while, small enough that
// setup.exe's one buffer of it fits any 32-bit address space.
constexpr int kAppendedWindowShift = 25;
constexpr int64_t kAppendedWindowBytes = int64_t{1} << kAppendedWindowShift;

// The windows of a stream of length bytes.
constexpr uint64_t AppendedWindows(uint64_t length)
{
    return (length + kAppendedWindowBytes - 1) >> kAppendedWindowShift;
}

// The record's size for a stream of length bytes.
constexpr uint64_t AppendedRecordBytes(uint64_t length)
{
    return kAppendedHeaderBytes + AppendedWindows(length) * kAppendedDigestBytes;
}
static_assert(AppendedRecordBytes(kMaxPayloadBytes) == 32 + 128 * 32, "the largest record is 128 digests");

struct AppendedPayload {
    uint64_t offset;                // of the stream's first byte in setup.exe
    uint64_t length;                // of the stream
    const unsigned char* digests;  // AppendedWindows(length) of them, in the record
};

enum class RecordKind {
    kNone,    // the bytes are not a record: the payload itself
    kRecord,  // a record; *payload holds it
    kBroken,  // the marker, but a length of 0 or over kMaxPayloadBytes, or a
              // size that does not hold the length's digests
};

// What the size bytes at record are.
RecordKind ReadAppendedRecord(const unsigned char* record, uint64_t size, AppendedPayload* payload);

// Writes the record's header: its first kAppendedHeaderBytes.
void WriteAppendedHeader(uint64_t offset, uint64_t length, unsigned char* record);
