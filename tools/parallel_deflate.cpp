// The chunked compressor: worker threads take chunks in turn, each with its
// own libdeflate compressors and zlib inflater, and write each chunk's
// deflate data into a slot of its own in the output block; the calling
// thread reports progress, then closes the slots up into one zlib stream.
#include "tools/parallel_deflate.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
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

size_t ChunkCount(size_t size, size_t chunkBytes)
{
    return size / chunkBytes + (size % chunkBytes != 0);
}

// The text bytes of chunk index: chunkBytes, less for the last.
size_t ChunkLength(const DeflateJob& job, size_t index)
{
    const size_t start = index * job.chunkBytes;
    return job.size - start < job.chunkBytes ? job.size - start : job.chunkBytes;
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

// One run of DeflateInChunks, shared by its threads.
struct Run {
    const DeflateJob* job;
    size_t chunks;
    size_t slotBytes;  // of a full chunk
    unsigned char* out;
    ChunkResult* results;
    int threads;
    bool tickEachChunk;  // the calling thread works alone
    std::atomic<size_t> next;
    std::atomic<size_t> chunksDone;
    std::atomic<uint64_t> textDone;
    std::atomic<uint64_t> streamDone;
    std::atomic<const char*> failure;
};

void Fail(Run* run, const char* text)
{
    const char* none = nullptr;
    run->failure.compare_exchange_strong(none, text);
}

void Tick(Run* run)
{
    if (run->job->tick == nullptr)
        return;
    const DeflateProgress progress = {run->chunksDone.load(), run->chunks, run->textDone.load(),
                                      run->streamDone.load(), run->threads};
    run->job->tick(run->job->context, progress);
}

bool CompressChunk(Run* run, Worker* worker, size_t index)
{
    const DeflateJob& job = *run->job;
    const size_t n = ChunkLength(job, index);
    const unsigned char* text = job.text + index * job.chunkBytes;
    unsigned char* slot = run->out + 2 + index * run->slotBytes;
    const ChunkForm form = QuickLook(worker, job.level, text, n);
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
    run->results[index] = {size, libdeflate_adler32(1, text, n)};
    run->textDone += n;
    run->streamDone += size;
    run->chunksDone += 1;
    return true;
}

void* RunWorker(void* argument)
{
    Run* run = static_cast<Run*>(argument);
    Worker worker;
    if (!StartWorker(&worker, run->job->level)) {
        Fail(run, "out of memory");
        return nullptr;
    }
    while (run->failure.load() == nullptr) {
        const size_t index = run->next.fetch_add(1);
        if (index >= run->chunks)
            break;
        if (!CompressChunk(run, &worker, index)) {
            Fail(run, "compression failed");
            break;
        }
        if (run->tickEachChunk)
            Tick(run);
    }
    return nullptr;
}

int CreateThread(pthread_t* thread, void* (*run)(void*), void* argument)
{
    return pthread_create(thread, nullptr, run, argument);
}

// Starts up to run->threads workers and waits for them, telling progress
// meanwhile; when not one can be started, the calling thread does the work.
void RunWorkers(Run* run)
{
    const StartThread start = run->job->startThread != nullptr ? run->job->startThread : CreateThread;
    std::unique_ptr<pthread_t[]> threads(new (std::nothrow) pthread_t[run->threads]);
    int started = 0;
    while (threads && started < run->threads && start(&threads[started], RunWorker, run) == 0)
        ++started;
    run->threads = started > 0 ? started : 1;
    if (started == 0) {
        run->tickEachChunk = true;
        RunWorker(run);
        return;
    }
    const timespec tenth = {0, 100 * 1000 * 1000};
    while (run->chunksDone.load() < run->chunks && run->failure.load() == nullptr) {
        nanosleep(&tenth, nullptr);
        Tick(run);
    }
    for (int i = 0; i < started; ++i)
        pthread_join(threads[i], nullptr);
}

void PutBigEndian32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

}  // namespace

int DeflateThreads(int threads, size_t size, size_t chunkBytes)
{
    long wanted = threads;
    if (wanted <= 0)
        wanted = sysconf(_SC_NPROCESSORS_ONLN);
    const size_t chunks = chunkBytes == 0 ? 1 : ChunkCount(size, chunkBytes);
    if (wanted < 1 || chunks == 0)
        return 1;
    return static_cast<size_t>(wanted) < chunks ? static_cast<int>(wanted) : static_cast<int>(chunks);
}

size_t DeflatedBound(size_t size, size_t chunkBytes)
{
    const size_t full = size / chunkBytes;
    const size_t rest = size % chunkBytes;
    return 2 + full * SlotBytes(chunkBytes) + (rest != 0 ? SlotBytes(rest) : 0) + 2 + 4;
}

uint64_t DeflateMemory(size_t size, size_t chunkBytes, int threads)
{
    return DeflatedBound(size, chunkBytes) + static_cast<uint64_t>(DeflateThreads(threads, size, chunkBytes)) *
                                                 kDeflateWorkerBytes;
}

const char* DeflateInChunks(const DeflateJob& job, DeflatedStream* out)
{
    out->bytes = nullptr;
    out->size = 0;
    if (job.level < 0 || job.level > 12)
        return "bad compression level";
    if (job.chunkBytes == 0)
        return "bad chunk size";
    const size_t chunks = ChunkCount(job.size, job.chunkBytes);
    // malloc: the block is not cleared, so pages past what is written stay
    // untouched.
    unsigned char* bytes = static_cast<unsigned char*>(std::malloc(DeflatedBound(job.size, job.chunkBytes)));
    std::unique_ptr<ChunkResult[]> results(new (std::nothrow) ChunkResult[chunks > 0 ? chunks : 1]);
    if (bytes == nullptr || !results) {
        std::free(bytes);
        return "out of memory";
    }
    Run run{&job, chunks, SlotBytes(job.chunkBytes), bytes, results.get(),
            DeflateThreads(job.threads, job.size, job.chunkBytes), false, {0}, {0}, {0}, {0}, {nullptr}};
    if (chunks > 0)
        RunWorkers(&run);
    if (const char* failure = run.failure.load()) {
        std::free(bytes);
        return failure;
    }

    // Close the slots up in text order; each moves towards the front.
    WriteZlibHeader(bytes, job.level);
    size_t at = 2;
    uLong adler = adler32(0, nullptr, 0);
    for (size_t i = 0; i < chunks; ++i) {
        std::memmove(bytes + at, bytes + 2 + i * run.slotBytes, results[i].size);
        at += results[i].size;
        adler = adler32_combine(adler, results[i].adler, static_cast<z_off_t>(ChunkLength(job, i)));
    }
    bytes[at++] = 0x03;  // an empty fixed block, marked final
    bytes[at++] = 0x00;
    PutBigEndian32(bytes + at, static_cast<uint32_t>(adler));
    out->bytes = bytes;
    out->size = at + 4;
    return nullptr;
}

void FreeDeflated(DeflatedStream* stream)
{
    std::free(stream->bytes);
    stream->bytes = nullptr;
    stream->size = 0;
}
