// The chunked compressor: the feeding thread fills a ring of chunk slots,
// worker threads take the chunks in turn, each with its own libdeflate
// compressors and zlib inflater, and the feeding thread hands each chunk's
// deflate data to the sink in text order once it is done, freeing its slot.
#include "tools/parallel_deflate.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>
#include <zlib.h>

namespace {

constexpr size_t kStoredBlockMax = 65535;
// The longest run an empty stored block adds to bring a chunk's end to a
// byte edge: the rest of a byte, and LEN and NLEN.
constexpr size_t kJoinBytes = 5;
// The quick look compresses this sample of a chunk: slices spread evenly
// over it, so that a chunk of mixed files is judged on all of them.
constexpr size_t kSampleSlices = 8;
constexpr size_t kSliceBytes = 16 * 1024;
constexpr size_t kSampleBytes = kSampleSlices * kSliceBytes;
constexpr size_t kInflatedBytes = 64 * 1024;
constexpr int kQuickLevel = 1;

size_t StoredBytes(size_t n)
{
    return n + 5 * ((n + kStoredBlockMax - 1) / kStoredBlockMax);
}

size_t SlotBytes(size_t n)
{
    const size_t deflated = libdeflate_deflate_compress_bound(nullptr, n);
    return (deflated > StoredBytes(n) ? deflated : StoredBytes(n)) + kJoinBytes;
}

// The zlib header, each chunk's form of chunk bytes as perChunk gives it,
// the empty final block and the check value.
uint64_t StreamBytes(uint64_t size, size_t chunkBytes, size_t (*perChunk)(size_t))
{
    const size_t rest = static_cast<size_t>(size % chunkBytes);
    return 2 + size / chunkBytes * perChunk(chunkBytes) + (rest != 0 ? perChunk(rest) : 0) + 2 + 4;
}

// The zlib header libdeflate writes for a level.
void WriteZlibHeader(unsigned char* out, int level)
{
    const unsigned hint = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
    const unsigned cmf = 0x78;
    unsigned flg = hint << 6;
    flg += 31 - (cmf * 256 + flg) % 31;
    out[0] = static_cast<unsigned char>(cmf);
    out[1] = static_cast<unsigned char>(flg);
}

// The text as stored blocks, none final; returns the bytes written.
size_t WriteStored(const unsigned char* text, size_t n, unsigned char* out)
{
    unsigned char* at = out;
    for (size_t done = 0; done < n;) {
        const size_t piece = n - done < kStoredBlockMax ? n - done : kStoredBlockMax;
        const unsigned char header[5] = {0, static_cast<unsigned char>(piece), static_cast<unsigned char>(piece >> 8),
                                         static_cast<unsigned char>(~piece), static_cast<unsigned char>(~piece >> 8)};
        std::memcpy(at, header, sizeof header);
        std::memcpy(at + 5, text + done, piece);
        at += 5 + piece;
        done += piece;
    }
    return static_cast<size_t>(at - out);
}

// A worker's own state, ended whichever way the worker stops.
struct Worker {
    libdeflate_compressor* quick = nullptr;
    libdeflate_compressor* full = nullptr;  // the job's level; quick itself at level 1
    z_stream check{};
    bool checkStarted = false;
    unsigned char* sample = nullptr;  // kSampleBytes, then its compressed form, then kInflatedBytes
    size_t sampleRoom = 0;
    ~Worker()
    {
        if (full != quick)
            libdeflate_free_compressor(full);
        libdeflate_free_compressor(quick);
        if (checkStarted)
            inflateEnd(&check);
        std::free(sample);
    }
    unsigned char* SampleOut() { return sample + kSampleBytes; }
    unsigned char* Inflated() { return sample + kSampleBytes + sampleRoom; }
};

bool StartWorker(Worker* worker, int level)
{
    if (level == 0)
        return true;  // every chunk is stored
    worker->quick = libdeflate_alloc_compressor(kQuickLevel);
    worker->full = level == kQuickLevel ? worker->quick : libdeflate_alloc_compressor(level);
    worker->sampleRoom = libdeflate_deflate_compress_bound(nullptr, kSampleBytes);
    worker->sample = static_cast<unsigned char*>(std::malloc(kSampleBytes + worker->sampleRoom + kInflatedBytes));
    worker->checkStarted = inflateInit2(&worker->check, -15) == Z_OK;
    return worker->quick != nullptr && worker->full != nullptr && worker->sample != nullptr && worker->checkStarted;
}

enum class ChunkForm { Stored, Quick, Full };

// Decides from a sample of the chunk how it is written; depends on the
// chunk's bytes and the level alone. Data that the quick level already
// shrinks by a tenth gets the full search. Otherwise the sample is searched
// at the full level too: under 0.1% saved there means the chunk does not
// compress and is stored; within 0.2% of the quick level's result (packed
// audio, images) means the search would buy next to nothing, and the quick
// level's output is kept.
ChunkForm QuickLook(Worker* worker, int level, const unsigned char* text, size_t n)
{
    if (level == 0)
        return ChunkForm::Stored;
    const unsigned char* sample = text;
    size_t s = n;
    if (n > kSampleBytes) {
        for (size_t i = 0; i < kSampleSlices; ++i)
            std::memcpy(worker->sample + i * kSliceBytes, text + i * ((n - kSliceBytes) / (kSampleSlices - 1)),
                        kSliceBytes);
        sample = worker->sample;
        s = kSampleBytes;
    }
    const size_t quick = libdeflate_deflate_compress(worker->quick, sample, s, worker->SampleOut(), worker->sampleRoom);
    if (quick * 10 < s * 9)
        return ChunkForm::Full;
    const size_t full = level == kQuickLevel
                            ? quick
                            : libdeflate_deflate_compress(worker->full, sample, s, worker->SampleOut(), worker->sampleRoom);
    if (full + s / 1024 >= s)
        return ChunkForm::Stored;
    if (quick <= full + s / 512)
        return ChunkForm::Quick;
    return ChunkForm::Full;
}

// Inflates a chunk's deflate data and checks that it gives back the text;
// on the way, finds the final block's header and the stream's last bit.
// Then clears the final bit and brings the end to a byte edge with an empty
// stored block. Returns the chunk's new size, or 0 when it did not read back.
size_t JoinDeflated(Worker* worker, const unsigned char* text, size_t n, unsigned char* slot, size_t size)
{
    z_stream& check = worker->check;
    if (inflateReset(&check) != Z_OK)
        return 0;
    check.next_in = slot;
    check.avail_in = static_cast<uInt>(size);
    uint64_t finalHeader = 0;  // bit offsets in the slot
    uint64_t end = 0;
    size_t checked = 0;
    for (;;) {
        check.next_out = worker->Inflated();
        check.avail_out = kInflatedBytes;
        const int result = inflate(&check, Z_BLOCK);
        const size_t got = kInflatedBytes - check.avail_out;
        if (got > n - checked || std::memcmp(worker->Inflated(), text + checked, got) != 0)
            return 0;
        checked += got;
        if (result == Z_STREAM_END)
            break;
        if (result != Z_OK)
            return 0;
        // At a block's end: the bits not yet used of the last byte taken,
        // and whether that block was the final one.
        if (check.data_type & 128) {
            const uint64_t bit = static_cast<uint64_t>(check.next_in - slot) * 8 - (check.data_type & 7);
            if (check.data_type & 64)
                end = bit;
            else
                finalHeader = bit;
        }
    }
    if (checked != n || check.avail_in != 0 || end == 0 || (end + 7) / 8 != size)
        return 0;
    slot[finalHeader / 8] &= static_cast<unsigned char>(~(1u << (finalHeader % 8)));
    const unsigned spare = static_cast<unsigned>(size * 8 - end);
    if (spare == 0)
        return size;
    slot[size - 1] &= static_cast<unsigned char>((1u << (8 - spare)) - 1);
    if (spare < 3)
        slot[size++] = 0;  // the empty block's three header bits run into a new byte
    const unsigned char lengths[4] = {0, 0, 0xFF, 0xFF};
    std::memcpy(slot + size, lengths, sizeof lengths);
    return size + sizeof lengths;
}

struct ChunkResult {
    size_t size;  // of its deflate data in its slot
    uint32_t adler;
};

// Writes the n text bytes at text into slot (SlotBytes(n)) in the form the
// quick look picks. False when the chunk did not read back.
bool CompressChunk(Worker* worker, int level, const unsigned char* text, size_t n, unsigned char* slot,
                   ChunkResult* result)
{
    const ChunkForm form = QuickLook(worker, level, text, n);
    size_t size = 0;
    if (form != ChunkForm::Stored) {
        libdeflate_compressor* compressor = form == ChunkForm::Quick ? worker->quick : worker->full;
        size = libdeflate_deflate_compress(compressor, text, n, slot, SlotBytes(n) - kJoinBytes);
        if (size == 0)
            return false;
        // Stored blocks are smaller whatever the join adds: no need to check.
        if (size + kJoinBytes >= StoredBytes(n))
            size = 0;
        else if ((size = JoinDeflated(worker, text, n, slot, size)) == 0)
            return false;
    }
    if (size == 0)
        size = WriteStored(text, n, slot);
    *result = {size, libdeflate_adler32(1, text, n)};
    return true;
}

// A chunk of the stream: chunk i lives in slot i modulo the slot count.
struct Slot {
    unsigned char* text = nullptr;  // chunkBytes
    unsigned char* out = nullptr;   // SlotBytes(chunkBytes)
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

void PutBigEndian32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

}  // namespace

struct DeflateStream {
    DeflateStreamJob job{};
    size_t slotCount = 0;
    std::unique_ptr<Slot[]> slots;
    std::unique_ptr<pthread_t[]> threads;
    int started = 0;
    Worker alone;  // the feeding thread's, when no thread started
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
    Worker worker;
    const bool ready = StartWorker(&worker, stream->job.level);
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
    return DeflateStreamChunks(threads) * static_cast<uint64_t>(chunkBytes + SlotBytes(chunkBytes)) +
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
        slot.out = static_cast<unsigned char*>(std::malloc(SlotBytes(job.chunkBytes)));
        allocated = slot.text != nullptr && slot.out != nullptr;
    }
    if (!allocated)
        return "out of memory";
    const StartThread start = job.startThread != nullptr ? job.startThread : CreateThread;
    while (stream->started < threads &&
           start(&stream->threads[stream->started], RunWorker, stream.get()) == 0)
        ++stream->started;
    DeflateStream* started = stream.release();
    if (started->started == 0 && !StartWorker(&started->alone, job.level)) {
        EndDeflateStream(started);
        return "out of memory";
    }
    unsigned char header[2];
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
    while (size > 0) {
        Slot* slot = &stream->slots[stream->fed % stream->slotCount];
        const size_t n = size < chunkBytes - slot->length ? size : chunkBytes - slot->length;
        std::memcpy(slot->text + slot->length, from, n);
        slot->length += n;
        from += n;
        size -= n;
        if (slot->length < chunkBytes)
            break;
        // The next chunk's slot must be free before filling it.
        if (const char* failure = Feed(stream))
            return failure;
        if (const char* failure = WriteDone(stream, stream->slotCount - 1))
            return failure;
    }
    return Failure(stream);
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
    // An empty fixed block, marked final, then the check value.
    unsigned char end[6] = {0x03, 0x00};
    PutBigEndian32(end + 2, static_cast<uint32_t>(stream->adler));
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
    return static_cast<size_t>(StreamBytes(size, chunkBytes, SlotBytes));
}

uint64_t StoredStreamBytes(uint64_t size, size_t chunkBytes)
{
    return StreamBytes(size, chunkBytes, StoredBytes);
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
