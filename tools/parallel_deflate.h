// Compressing an archive text into one zlib stream on every core: the text is
// cut into chunks of a fixed size, each chunk is deflated on its own (or
// stored, when a quick look finds it does not compress), and the pieces are
// joined byte-aligned into one stream that any inflater reads like a stream
// made in one piece. The chunk size, never the thread count, fixes the bytes.
// The text is fed as it comes, and the feeding thread writes each chunk out
// at its first call into the stream once that chunk and those before it are
// done, so a stream holds a fixed number of chunks whatever the text's size.
// The codec of one chunk is tools/deflate_chunk.h.
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
    size_t chunksDone;    // written out
    size_t chunks;        // fed so far
    uint64_t textDone;    // text bytes of the chunks done
    uint64_t streamDone;  // the deflate bytes they came to
    int threads;          // working on it
};

// Called on the feeding thread each time a chunk has been written out.
using DeflateTick = void (*)(void* context, const DeflateProgress& progress);

// Takes the stream's next bytes; false when they could not be written,
// which fails the stream.
using DeflateSink = bool (*)(void* context, const unsigned char* bytes, size_t size);

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

struct DeflateStreamJob {
    int level;          // libdeflate's 0..12
    int threads;        // at least 1 (DeflateThreads)
    size_t chunkBytes;  // kDeflateChunkBytes; tests cut smaller chunks
    DeflateTick tick;   // null for none
    void* context;
    DeflateSink sink;
    void* sinkContext;
    StartThread startThread;  // null: pthread_create; tests pass one that fails
};

// A stream being compressed; its workers wait for chunks until it ends.
struct DeflateStream;

// Starts a stream and hands its zlib header to the sink. Threads that
// cannot be started leave the work to fewer, down to the feeding thread
// alone, with the same bytes. Returns null with *stream set, or "bad
// compression level", "bad chunk size", "out of memory" or "output failed"
// with *stream null.
const char* StartDeflateStream(const DeflateStreamJob& job, DeflateStream** stream);

// Feeds text. Each full chunk goes to the workers, and the sink gets every
// chunk done by then, in text order; when as many chunks are held as the
// stream holds, this waits for the oldest. Returns null, or the stream's first
// failure: "out of memory" (a worker's own memory), "compression failed" (a
// chunk did not read back as its text, which libdeflate promises cannot
// happen) or "output failed"; every call after one fails with it again.
const char* WriteDeflateStream(DeflateStream* stream, const void* text, size_t size);

// Compresses the last chunk, hands the sink what is left, the empty final
// block and the Adler-32 of the whole text. Null, or a failure as above.
const char* FinishDeflateStream(DeflateStream* stream);

// Stops the workers and frees the stream, finished or not; null is fine.
void EndDeflateStream(DeflateStream* stream);

// The chunks a stream on threads threads holds at once: the one being
// filled, those waiting or being compressed, those done and not yet
// written.
size_t DeflateStreamChunks(int threads);

// What a stream holds at most: its chunks' text and output, and each
// thread's working memory.
uint64_t DeflateStreamMemory(int threads, size_t chunkBytes);

// Compresses job.text into one zlib stream in one block, through a stream
// as above: the zlib header for the level, each chunk's deflate blocks in
// text order with none marked final and each chunk ending on a byte edge,
// an empty final block and the Adler-32 of the whole text. Returns null, or
// one of the stream's failures other than "output failed"; on failure out
// holds nothing.
const char* DeflateInChunks(const DeflateJob& job, DeflatedStream* out);

void FreeDeflated(DeflatedStream* stream);

// The threads a text is compressed on: those asked for (0: one for each
// core), but no more than it has chunks, and at least one.
int DeflateThreads(int threads, size_t size, size_t chunkBytes);

// The chunks a text of size bytes is cut into; chunkBytes is above 0.
uint64_t DeflateChunks(uint64_t size, size_t chunkBytes);

// A stream's size when every chunk of a text of size bytes is stored: the
// size at level 0, and the most at any level.
uint64_t StoredStreamBytes(uint64_t size, size_t chunkBytes);

// The output block DeflateInChunks takes; only the pages it writes are
// touched. chunkBytes is above 0.
size_t DeflatedBound(size_t size, size_t chunkBytes);

