// Compressing an archive text into one zlib stream on every core: the text is
// cut into chunks of a fixed size, each chunk is deflated on its own (or
// stored, when a quick look finds it does not compress), and the pieces are
// joined byte-aligned into one stream that any inflater reads like a stream
// made in one piece. The chunk size, never the thread count, fixes the bytes.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

// Each chunk starts with an empty window, which costs some compression at
// every join: with 4 MiB that stays under a tenth of a percent on real game
// trees, while a 1 GiB payload still gives 256 chunks to spread over the
// threads. The memory held does not depend on it.
constexpr size_t kDeflateChunkBytes = size_t{4} << 20;

// What a worker thread holds besides the output: libdeflate's compressor at
// levels 10 to 12 takes about 8.8 MB, the quick look's and the check's
// buffers the rest.
constexpr uint64_t kDeflateWorkerBytes = uint64_t{10} << 20;

struct DeflateProgress {
    size_t chunksDone;
    size_t chunks;
    uint64_t textDone;    // text bytes of the chunks done
    uint64_t streamDone;  // the deflate bytes they came to
    int threads;          // working on it
};

// Called about ten times a second while the chunks are compressed on
// threads of their own, and once a chunk when the calling thread works alone.
using DeflateTick = void (*)(void* context, const DeflateProgress& progress);

// Starts a thread as pthread_create does: 0, or an error number.
using StartThread = int (*)(pthread_t* thread, void* (*run)(void*), void* argument);

struct DeflateJob {
    const unsigned char* text;
    size_t size;
    int level;          // libdeflate's 0..12
    int threads;        // 0: one for each core
    size_t chunkBytes;  // kDeflateChunkBytes; tests cut smaller chunks
    DeflateTick tick;   // null for none
    void* context;
    StartThread startThread;  // null: pthread_create; tests pass one that fails
};

// One zlib stream in one malloc'd block, freed by FreeDeflated.
struct DeflatedStream {
    unsigned char* bytes;
    size_t size;
};

// Compresses job.text into one zlib stream: the zlib header for the level,
// each chunk's deflate blocks in text order with none marked final and each
// chunk ending on a byte edge, an empty final block and the Adler-32 of the
// whole text. Threads that cannot be started leave the work to fewer, down
// to the calling thread alone, with the same bytes. Returns null, or one of
// "bad compression level", "bad chunk size", "out of memory", "compression
// failed" (a chunk did not read back as its text, which libdeflate promises
// cannot happen); on failure out holds nothing.
const char* DeflateInChunks(const DeflateJob& job, DeflatedStream* out);

void FreeDeflated(DeflatedStream* stream);

// The threads DeflateInChunks runs for a text: those asked for (0: one for
// each core), but no more than it has chunks, and at least one.
int DeflateThreads(int threads, size_t size, size_t chunkBytes);

// The output block DeflateInChunks takes; only the pages it writes are
// touched. chunkBytes is above 0.
size_t DeflatedBound(size_t size, size_t chunkBytes);

// What DeflateInChunks holds at most besides the text: the output block and
// each thread's working memory.
uint64_t DeflateMemory(size_t size, size_t chunkBytes, int threads);
