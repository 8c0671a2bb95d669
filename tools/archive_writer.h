// Writing Quarn archives: a streaming writer that deflates entries into one
// zlib stream. The folder packer writes payloads with it; tests build
// archives of their own with it.
#pragma once

#include <cstdint>
#include <cstdio>

#include <zlib.h>

constexpr int kWriterBufferSize = 64 * 1024;

// One zlib stream being written to a FILE. Every call after a failure does
// nothing and fails again; errorText says what went wrong first.
struct ArchiveWriter {
    FILE* out;
    z_stream stream;
    bool started;           // deflateInit succeeded
    const char* errorText;  // null, or a constant text
    uint64_t compressedBytes;
    unsigned char outBuffer[kWriterBufferSize];
};

// Starts a zlib stream at level (0..9) on out and writes the header line.
// Returns 0, or -1 with errorText set ("bad compression level",
// "deflater won't start", "write error").
int StartArchive(ArchiveWriter* writer, FILE* out, int level);

// Deflates raw archive bytes. 0, or -1 ("write error", "deflate failed").
int WriteArchiveBytes(ArchiveWriter* writer, const void* data, size_t size);

// "d" LF path LF; path is written as given (the caller adds "./").
int WriteFolderEntry(ArchiveWriter* writer, const char* path);

// "f" LF size LF path LF; the caller then writes exactly size body bytes.
int WriteFileHeader(ArchiveWriter* writer, const char* path, int64_t size);

// Ends the zlib stream (Adler-32 trailer) and flushes out. 0 or -1.
int FinishArchive(ArchiveWriter* writer);

// Frees the deflater whatever the state; safe on a writer never started.
void EndArchiveWriter(ArchiveWriter* writer);
