// A payload too large to be a resource follows setup.exe's image, where the
// loader never maps it; the payload resource then holds this fixed record in
// its place, saying where the stream lies in the file. A zlib stream never
// starts with the marker, so the two cannot be mistaken for each other.
#pragma once

#include <cstdint>

// The largest payload carried as a resource: the loader maps the image whole
// into the installer's 32-bit address space, in one free range, and larger
// images fail to load on some machines.
constexpr uint64_t kMaxResourcePayloadBytes = uint64_t{1} << 30;

// The marker, its NUL included, then the offset and the length, each 64-bit
// little-endian.
inline constexpr char kAppendedMarker[16] = "Quarn appended\n";
constexpr int kAppendedRecordBytes = 32;

struct AppendedPayload {
    uint64_t offset;  // of the stream's first byte in setup.exe
    uint64_t length;  // of the stream
};

// True when the size bytes at record are the record; then *payload holds it.
bool ReadAppendedRecord(const unsigned char* record, uint64_t size, AppendedPayload* payload);

// Writes the record's kAppendedRecordBytes.
void WriteAppendedRecord(const AppendedPayload& payload, unsigned char* record);
