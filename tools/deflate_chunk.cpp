// The chunk codec: stored blocks, the quick look, the join of a chunk's
// deflate data to the next chunk's, and one chunk compressed with them.
#include "tools/deflate_chunk.h"

#include <cstdlib>
#include <cstring>

#include <libdeflate.h>

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

unsigned char* SampleOut(ChunkCompressor* worker)
{
    return worker->sample + kSampleBytes;
}

unsigned char* Inflated(ChunkCompressor* worker)
{
    return worker->sample + kSampleBytes + worker->sampleRoom;
}

enum class ChunkForm { Stored, Quick, Full };

// Decides from a sample of the chunk how it is written; depends on the
// chunk's bytes and the level alone. Data that the quick level already
// shrinks by a tenth gets the full search. Otherwise the sample is searched
// at the full level too: under 0.1% saved there means the chunk does not
// compress and is stored; within 0.2% of the quick level's result (packed
// audio, images) means the search would buy next to nothing, and the quick
// level's output is kept.
ChunkForm QuickLook(ChunkCompressor* worker, int level, const unsigned char* text, size_t n)
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
    const size_t quick = libdeflate_deflate_compress(worker->quick, sample, s, SampleOut(worker), worker->sampleRoom);
    if (quick * 10 < s * 9)
        return ChunkForm::Full;
    const size_t full = level == kQuickLevel
                            ? quick
                            : libdeflate_deflate_compress(worker->full, sample, s, SampleOut(worker), worker->sampleRoom);
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
size_t JoinDeflated(ChunkCompressor* worker, const unsigned char* text, size_t n, unsigned char* data, size_t size)
{
    z_stream& check = worker->check;
    if (inflateReset(&check) != Z_OK)
        return 0;
    check.next_in = data;
    check.avail_in = static_cast<uInt>(size);
    uint64_t finalHeader = 0;  // bit offsets in the data
    uint64_t end = 0;
    size_t checked = 0;
    for (;;) {
        check.next_out = Inflated(worker);
        check.avail_out = kInflatedBytes;
        const int result = inflate(&check, Z_BLOCK);
        const size_t got = kInflatedBytes - check.avail_out;
        if (got > n - checked || std::memcmp(Inflated(worker), text + checked, got) != 0)
            return 0;
        checked += got;
        if (result == Z_STREAM_END)
            break;
        if (result != Z_OK)
            return 0;
        // At a block's end: the bits not yet used of the last byte taken,
        // and whether that block was the final one.
        if (check.data_type & 128) {
            const uint64_t bit = static_cast<uint64_t>(check.next_in - data) * 8 - (check.data_type & 7);
            if (check.data_type & 64)
                end = bit;
            else
                finalHeader = bit;
        }
    }
    if (checked != n || check.avail_in != 0 || end == 0 || (end + 7) / 8 != size)
        return 0;
    data[finalHeader / 8] &= static_cast<unsigned char>(~(1u << (finalHeader % 8)));
    const unsigned spare = static_cast<unsigned>(size * 8 - end);
    if (spare == 0)
        return size;
    data[size - 1] &= static_cast<unsigned char>((1u << (8 - spare)) - 1);
    if (spare < 3)
        data[size++] = 0;  // the empty block's three header bits run into a new byte
    const unsigned char lengths[4] = {0, 0, 0xFF, 0xFF};
    std::memcpy(data + size, lengths, sizeof lengths);
    return size + sizeof lengths;
}

void PutBigEndian32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

}  // namespace

ChunkCompressor::~ChunkCompressor()
{
    if (full != quick)
        libdeflate_free_compressor(full);
    libdeflate_free_compressor(quick);
    if (checkStarted)
        inflateEnd(&check);
    std::free(sample);
}

bool StartChunkCompressor(ChunkCompressor* worker, int level)
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

bool CompressChunk(ChunkCompressor* worker, int level, const unsigned char* text, size_t n, unsigned char* out,
                   ChunkResult* result)
{
    const ChunkForm form = QuickLook(worker, level, text, n);
    size_t size = 0;
    if (form != ChunkForm::Stored) {
        libdeflate_compressor* compressor = form == ChunkForm::Quick ? worker->quick : worker->full;
        size = libdeflate_deflate_compress(compressor, text, n, out, ChunkBound(n) - kJoinBytes);
        if (size == 0)
            return false;
        // Stored blocks are smaller whatever the join adds: no need to check.
        if (size + kJoinBytes >= StoredChunkBytes(n))
            size = 0;
        else if ((size = JoinDeflated(worker, text, n, out, size)) == 0)
            return false;
    }
    if (size == 0)
        size = WriteStored(text, n, out);
    *result = {size, libdeflate_adler32(1, text, n)};
    return true;
}

size_t StoredChunkBytes(size_t n)
{
    return n + 5 * ((n + kStoredBlockMax - 1) / kStoredBlockMax);
}

size_t ChunkBound(size_t n)
{
    const size_t deflated = libdeflate_deflate_compress_bound(nullptr, n);
    return (deflated > StoredChunkBytes(n) ? deflated : StoredChunkBytes(n)) + kJoinBytes;
}

void WriteZlibHeader(unsigned char* out, int level)
{
    const unsigned hint = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
    const unsigned cmf = 0x78;
    unsigned flg = hint << 6;
    flg += 31 - (cmf * 256 + flg) % 31;
    out[0] = static_cast<unsigned char>(cmf);
    out[1] = static_cast<unsigned char>(flg);
}

void WriteStreamEnd(unsigned char out[kStreamEndBytes], uint32_t adler)
{
    out[0] = 0x03;
    out[1] = 0x00;
    PutBigEndian32(out + 2, adler);
}
