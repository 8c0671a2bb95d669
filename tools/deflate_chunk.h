// The chunk codec of the chunked compressor (tools/parallel_deflate.h): one
// chunk of text as deflate blocks with none marked final and the last
// ending on a byte edge, so that chunks made apart join, in text order,
// into one zlib stream. A quick look at a sample of the chunk picks its
// form: stored, the quick level, or the job's own level. Each thread
// compresses with a ChunkCompressor of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include <zlib.h>

struct libdeflate_compressor;

// What a zlib stream holds besides its chunks: the header, and the empty
// final block with the Adler-32 of the whole text.
constexpr size_t kZlibHeaderBytes = 2;
constexpr size_t kStreamEndBytes = 6;

// A thread's libdeflate compressors, the zlib inflater that reads each
// chunk back, and the quick look's buffers; freed when it ends.
struct ChunkCompressor {
    libdeflate_compressor* quick = nullptr;
    libdeflate_compressor* full = nullptr;  // the job's level; quick itself at level 1
    z_stream check{};
    bool checkStarted = false;
    unsigned char* sample = nullptr;  // kSampleBytes, then its compressed form, then kInflatedBytes
    size_t sampleRoom = 0;
    ~ChunkCompressor();
};

// Readies compressor for libdeflate's level 0..12 (nothing at level 0,
// where every chunk is stored). False when its memory cannot be had.
bool StartChunkCompressor(ChunkCompressor* compressor, int level);

// Where a chunk ends up.
struct ChunkResult {
    size_t size;  // of its deflate data
    uint32_t adler;
};

// Writes the n text bytes at text into out (ChunkBound(n) bytes) in the
// form the quick look picks, checked by inflating it again. False when the
// chunk did not read back as its text, which libdeflate promises cannot
// happen.
bool CompressChunk(ChunkCompressor* compressor, int level, const unsigned char* text, size_t n, unsigned char* out,
                   ChunkResult* result);

// The most a chunk of n text bytes takes, in any form.
size_t ChunkBound(size_t n);

// A chunk of n text bytes as stored blocks.
size_t StoredChunkBytes(size_t n);

// The zlib header libdeflate writes for a level.
void WriteZlibHeader(unsigned char out[kZlibHeaderBytes], int level);

// An empty fixed block, marked final, then the check value of the text.
void WriteStreamEnd(unsigned char out[kStreamEndBytes], uint32_t adler);
