// Writing Quarn archives into one zlib stream compressed on every core
// (parallel_deflate.h): the folder packer feeds the text straight into the
// stream as it writes it; tests build texts in memory and compress them
// whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/parallel_deflate.h"

constexpr int kMaxCompressionLevel = 12;
constexpr int kDefaultCompressionLevel = 12;

// The archive text being written, into a stream or in one heap block.
// Every call after a failure does nothing and fails again; errorText says
// what went wrong first.
struct ArchiveWriter {
    unsigned char* bytes;   // null until StartArchive, and for a stream
    size_t size;            // bytes written so far
    size_t capacity;
    const char* errorText;  // null, or a constant text
    DeflateStream* stream;  // null: the text is held in bytes
};

// Starts the text with the header line, taking room for capacity bytes in
// all at once (the folder packer knows the exact size; more is taken as
// needed). Returns 0, or -1 with errorText "out of memory".
int StartArchive(ArchiveWriter* writer, size_t capacity);

// Starts a text that goes into stream as it is written, none of it held
// here. 0, or -1 with errorText the stream's failure.
int StartStreamedArchive(ArchiveWriter* writer, DeflateStream* stream);

// Appends raw archive bytes. 0, or -1 ("out of memory", or the stream's
// failure).
int WriteArchiveBytes(ArchiveWriter* writer, const void* data, size_t size);

// The folder tag, then path and LF; path is written as given (the caller
// adds "./").
int WriteFolderEntry(ArchiveWriter* writer, const char* path);

// The file tag, then size and path, each with LF; the caller then writes
// exactly size body bytes.
int WriteFileHeader(ArchiveWriter* writer, const char* path, int64_t size);

// The bytes WriteFolderEntry or WriteFileHeader (with its body) adds.
size_t FolderEntryBytes(const char* path);
size_t FileEntryBytes(const char* path, int64_t size);

// Frees the text whatever the state; safe on a zero-initialised writer that
// was never started.
void EndArchiveWriter(ArchiveWriter* writer);

// One zlib stream in one heap block, freed by FreeCompressed.
struct CompressedArchive {
    unsigned char* bytes;
    size_t size;
};

// Called once a chunk while the compression runs.
using CompressTick = DeflateTick;

// Compresses a whole text held in memory into one zlib stream at level
// (0..12) in chunks of kDeflateChunkBytes on threads threads (0: one for
// each core), while this thread calls tick (when not null). The same text
// and level always give the same bytes, whatever the thread count, and the
// same as a streamed text's. The output block is taken
// at its bound, but only the pages written are touched. Returns 0, or -1
// with errorText set: "bad compression level", "out of memory", or
// "compression failed" (a chunk did not read back as its text).
int CompressArchive(ArchiveWriter* writer, int level, CompressTick tick, void* context, CompressedArchive* out,
                    int threads = 0);

void FreeCompressed(CompressedArchive* compressed);
