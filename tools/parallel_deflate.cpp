// The chunked compressor's pipeline: the feeding thread fills a ring of
// chunk slots, worker threads compress the chunks in turn with the chunk
// codec (tools/deflate_chunk.h), and the feeding thread hands each chunk's
// deflate data to the sink in text order once it is done, freeing its slot.
#include "tools/parallel_deflate.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

#include "tools/deflate_chunk.h"

namespace {

// The zlib header, each chunk's form of chunk bytes as perChunk gives it,
// the empty final block and the check value.
uint64_t StreamBytes(uint64_t size, size_t chunkBytes, size_t (*perChunk)(size_t))
{
    const size_t rest = static_cast<size_t>(size % chunkBytes);
    return kZlibHeaderBytes + size / chunkBytes * perChunk(chunkBytes) + (rest != 0 ? perChunk(rest) : 0) +
           kStreamEndBytes;
}

// A chunk of the stream: chunk i lives in slot i modulo the slot count. A
// slot is free (length 0) until the feeding thread fills it; fed once full
// (or at the end), it waits for a worker; taken, it is compressing; done,
// it waits for the chunks before it; written to the sink by the feeding
// thread, it is free again. Its bytes belong to whoever has it in that
// state, passed on under the stream's lock.
struct Slot {
    unsigned char* text = nullptr;  // chunkBytes
    unsigned char* out = nullptr;   // ChunkBound(chunkBytes)
    size_t length = 0;              // text bytes in it
    ChunkResult result{};
    bool done = false;  // compressed, not yet written
    ~Slot()
    {
        std::free(text);
        std::free(out);
    }
};

int CreateThread(pthread_t* thread, void* (*run)(void*), void* argument)
{
    return pthread_create(thread, nullptr, run, argument);
}

}  // namespace

struct DeflateStream {
    DeflateStreamJob job{};
    size_t slotCount = 0;
    std::unique_ptr<Slot[]> slots;
    std::unique_ptr<pthread_t[]> threads;
    int started = 0;
    ChunkCompressor alone;  // the feeding thread's, when no thread started
    // Guards the counts and flags below and each slot's done flag.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t queued = PTHREAD_COND_INITIALIZER;    // a chunk was fed, or the stream stops
    pthread_cond_t finished = PTHREAD_COND_INITIALIZER;  // a chunk was compressed, or failed
    // Changed under lock while workers run:
    size_t fed = 0;    // chunks handed over
    size_t taken = 0;  // by a worker
    bool stopping = false;
    const char* failure = nullptr;
    // The feeding thread's alone:
    size_t written = 0;
    uint64_t textDone = 0;
    uint64_t streamDone = 0;
    uLong adler = 1;
};

namespace {

// Keeps the first failure; call with the lock held.
void FailLocked(DeflateStream* stream, const char* text)
{
    if (stream->failure == nullptr)
        stream->failure = text;
    pthread_cond_broadcast(&stream->finished);
}

const char* Failure(DeflateStream* stream)
{
    pthread_mutex_lock(&stream->lock);
    const char* failure = stream->failure;
    pthread_mutex_unlock(&stream->lock);
    return failure;
}

const char* Fail(DeflateStream* stream, const char* text)
{
    pthread_mutex_lock(&stream->lock);
    FailLocked(stream, text);
    const char* failure = stream->failure;
    pthread_mutex_unlock(&stream->lock);
    return failure;
}

void* RunWorker(void* argument)
{
    DeflateStream* stream = static_cast<DeflateStream*>(argument);
    ChunkCompressor worker;
    const bool ready = StartChunkCompressor(&worker, stream->job.level);
    pthread_mutex_lock(&stream->lock);
    if (!ready)
        FailLocked(stream, "out of memory");
    for (;;) {
        while (!stream->stopping && stream->failure == nullptr && stream->taken == stream->fed)
            pthread_cond_wait(&stream->queued, &stream->lock);
        if (stream->stopping || stream->failure != nullptr)
            break;
        Slot* slot = &stream->slots[stream->taken++ % stream->slotCount];
        pthread_mutex_unlock(&stream->lock);
        const bool compressed =
            CompressChunk(&worker, stream->job.level, slot->text, slot->length, slot->out, &slot->result);
        pthread_mutex_lock(&stream->lock);
        if (!compressed)
            FailLocked(stream, "compression failed");
        slot->done = compressed;
        pthread_cond_signal(&stream->finished);
    }
    pthread_mutex_unlock(&stream->lock);
    return nullptr;
}

// Hands the slot being filled over: to the workers, or compressed here
// when there are none.
const char* Feed(DeflateStream* stream)
{
    Slot* slot = &stream->slots[stream->fed % stream->slotCount];
    if (stream->started == 0) {
        if (!CompressChunk(&stream->alone, stream->job.level, slot->text, slot->length, slot->out, &slot->result))
            return Fail(stream, "compression failed");
        slot->done = true;
        stream->fed++;
        return nullptr;
    }
    pthread_mutex_lock(&stream->lock);
    stream->fed++;
    pthread_cond_signal(&stream->queued);
    pthread_mutex_unlock(&stream->lock);
    return nullptr;
}

const char* WriteChunk(DeflateStream* stream, Slot* slot)
{
    const DeflateStreamJob& job = stream->job;
    if (!job.sink(job.sinkContext, slot->out, slot->result.size))
        return "output failed";
    stream->adler = adler32_combine(stream->adler, slot->result.adler, static_cast<z_off_t>(slot->length));
    stream->textDone += slot->length;
    stream->streamDone += slot->result.size;
    stream->written++;
    slot->length = 0;
    if (job.tick != nullptr) {
        const DeflateProgress progress = {stream->written, stream->fed, stream->textDone, stream->streamDone,
                                          stream->started > 0 ? stream->started : 1};
        job.tick(job.context, progress);
    }
    return nullptr;
}

// Writes the chunks done, oldest first, waiting for the oldest while more
// than keep are left unwritten.
const char* WriteDone(DeflateStream* stream, size_t keep)
{
    pthread_mutex_lock(&stream->lock);
    while (stream->failure == nullptr && stream->written < stream->fed) {
        Slot* slot = &stream->slots[stream->written % stream->slotCount];
        if (!slot->done) {
            if (stream->fed - stream->written <= keep)
                break;
            pthread_cond_wait(&stream->finished, &stream->lock);
            continue;
        }
        slot->done = false;
        pthread_mutex_unlock(&stream->lock);
        const char* failure = WriteChunk(stream, slot);
        pthread_mutex_lock(&stream->lock);
        if (failure != nullptr)
            FailLocked(stream, failure);
    }
    const char* failure = stream->failure;
    pthread_mutex_unlock(&stream->lock);
    return failure;
}

}  // namespace

size_t DeflateStreamChunks(int threads)
{
    return 2 * static_cast<size_t>(threads > 0 ? threads : 1) + 2;
}

uint64_t DeflateStreamMemory(int threads, size_t chunkBytes)
{
    return DeflateStreamChunks(threads) * static_cast<uint64_t>(chunkBytes + ChunkBound(chunkBytes)) +
           static_cast<uint64_t>(threads > 0 ? threads : 1) * kDeflateWorkerBytes;
}

const char* StartDeflateStream(const DeflateStreamJob& job, DeflateStream** out)
{
    *out = nullptr;
    if (job.level < 0 || job.level > 12)
        return "bad compression level";
    if (job.chunkBytes == 0)
        return "bad chunk size";
    std::unique_ptr<DeflateStream> stream(new (std::nothrow) DeflateStream);
    if (!stream)
        return "out of memory";
    stream->job = job;
    const int threads = job.threads > 0 ? job.threads : 1;
    stream->slotCount = DeflateStreamChunks(threads);
    // malloc: a slot's pages are touched only once a chunk uses them.
    stream->slots.reset(new (std::nothrow) Slot[stream->slotCount]);
    stream->threads.reset(new (std::nothrow) pthread_t[threads]);
    bool allocated = stream->slots && stream->threads;
    for (size_t i = 0; allocated && i < stream->slotCount; ++i) {
        Slot& slot = stream->slots[i];
        slot.text = static_cast<unsigned char*>(std::malloc(job.chunkBytes));
        slot.out = static_cast<unsigned char*>(std::malloc(ChunkBound(job.chunkBytes)));
        allocated = slot.text != nullptr && slot.out != nullptr;
    }
    if (!allocated)
        return "out of memory";
    const StartThread start = job.startThread != nullptr ? job.startThread : CreateThread;
    while (stream->started < threads &&
           start(&stream->threads[stream->started], RunWorker, stream.get()) == 0)
        ++stream->started;
    DeflateStream* started = stream.release();
    if (started->started == 0 && !StartChunkCompressor(&started->alone, job.level)) {
        EndDeflateStream(started);
        return "out of memory";
    }
    unsigned char header[kZlibHeaderBytes];
    WriteZlibHeader(header, job.level);
    if (!job.sink(job.sinkContext, header, sizeof header)) {
        EndDeflateStream(started);
        return "output failed";
    }
    *out = started;
    return nullptr;
}

const char* WriteDeflateStream(DeflateStream* stream, const void* text, size_t size)
{
    const unsigned char* from = static_cast<const unsigned char*>(text);
    const size_t chunkBytes = stream->job.chunkBytes;
    // The chunks done since the last call leave now, without waiting.
    const char* failure = WriteDone(stream, stream->slotCount - 1);
    while (failure == nullptr && size > 0) {
        Slot* slot = &stream->slots[stream->fed % stream->slotCount];
        const size_t n = size < chunkBytes - slot->length ? size : chunkBytes - slot->length;
        std::memcpy(slot->text + slot->length, from, n);
        slot->length += n;
        from += n;
        size -= n;
        if (slot->length < chunkBytes)
            break;
        // The next chunk's slot must be free before filling it.
        failure = Feed(stream);
        if (failure == nullptr)
            failure = WriteDone(stream, stream->slotCount - 1);
    }
    return failure;
}

const char* FinishDeflateStream(DeflateStream* stream)
{
    if (const char* failure = Failure(stream))
        return failure;
    if (stream->slots[stream->fed % stream->slotCount].length > 0) {
        if (const char* failure = Feed(stream))
            return failure;
    }
    if (const char* failure = WriteDone(stream, 0))
        return failure;
    unsigned char end[kStreamEndBytes];
    WriteStreamEnd(end, static_cast<uint32_t>(stream->adler));
    if (!stream->job.sink(stream->job.sinkContext, end, sizeof end))
        return Fail(stream, "output failed");
    return nullptr;
}

void EndDeflateStream(DeflateStream* stream)
{
    if (stream == nullptr)
        return;
    pthread_mutex_lock(&stream->lock);
    stream->stopping = true;
    pthread_cond_broadcast(&stream->queued);
    pthread_mutex_unlock(&stream->lock);
    for (int i = 0; i < stream->started; ++i)
        pthread_join(stream->threads[i], nullptr);
    delete stream;
}

int DeflateThreads(int threads, size_t size, size_t chunkBytes)
{
    long wanted = threads;
    if (wanted <= 0)
        wanted = sysconf(_SC_NPROCESSORS_ONLN);
    const uint64_t chunks = chunkBytes == 0 ? 1 : DeflateChunks(size, chunkBytes);
    if (wanted < 1 || chunks == 0)
        return 1;
    return static_cast<uint64_t>(wanted) < chunks ? static_cast<int>(wanted) : static_cast<int>(chunks);
}

uint64_t DeflateChunks(uint64_t size, size_t chunkBytes)
{
    return size / chunkBytes + (size % chunkBytes != 0);
}

size_t DeflatedBound(size_t size, size_t chunkBytes)
{
    return static_cast<size_t>(StreamBytes(size, chunkBytes, ChunkBound));
}

uint64_t StoredStreamBytes(uint64_t size, size_t chunkBytes)
{
    return StreamBytes(size, chunkBytes, StoredChunkBytes);
}

namespace {

struct Block {
    unsigned char* bytes;
    size_t size;
};

// A DeflateSink into a block taken at DeflatedBound.
bool AppendToBlock(void* context, const unsigned char* bytes, size_t size)
{
    Block* block = static_cast<Block*>(context);
    std::memcpy(block->bytes + block->size, bytes, size);
    block->size += size;
    return true;
}

}  // namespace

const char* DeflateInChunks(const DeflateJob& job, DeflatedStream* out)
{
    out->bytes = nullptr;
    out->size = 0;
    if (job.chunkBytes == 0)
        return "bad chunk size";
    // malloc: the block is not cleared, so pages past what is written stay
    // untouched.
    Block block{static_cast<unsigned char*>(std::malloc(DeflatedBound(job.size, job.chunkBytes))), 0};
    if (block.bytes == nullptr)
        return "out of memory";
    const DeflateStreamJob streamJob{job.level, DeflateThreads(job.threads, job.size, job.chunkBytes),
                                     job.chunkBytes, job.tick, job.context, AppendToBlock, &block, job.startThread};
    DeflateStream* stream = nullptr;
    const char* failure = StartDeflateStream(streamJob, &stream);
    if (failure == nullptr)
        failure = WriteDeflateStream(stream, job.text, job.size);
    if (failure == nullptr)
        failure = FinishDeflateStream(stream);
    EndDeflateStream(stream);
    if (failure != nullptr) {
        std::free(block.bytes);
        return failure;
    }
    out->bytes = block.bytes;
    out->size = block.size;
    return nullptr;
}

void FreeDeflated(DeflatedStream* stream)
{
    std::free(stream->bytes);
    stream->bytes = nullptr;
    stream->size = 0;
}
