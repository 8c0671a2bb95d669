// Tests of the chunked compressor: the joined stream reads back exactly
// through the installer's reader whatever falls on a chunk's edge, stored
// chunks cost no more than stored blocks do, and the bytes do not depend on
// how many threads did the work.
#include "tools/parallel_deflate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/inflating_reader.h"
#include "tests/archive_builder.h"

namespace {

constexpr size_t kChunk = 256 * 1024;

std::string TextData(size_t size, uint32_t seed)
{
    static const char* const kWords[] = {"ramp ", "door ", "marble ", "score\r\n", "bonus ", "level ", "timer "};
    std::string text;
    uint32_t state = seed;
    while (text.size() < size) {
        state = state * 1664525u + 1013904223u;
        text += kWords[(state >> 24) % 7];
    }
    text.resize(size);
    return text;
}

std::string Deflated(const std::string& text, int level, int threads, StartThread start = nullptr,
                     DeflateTick tick = nullptr, void* context = nullptr)
{
    DeflateJob job{reinterpret_cast<const unsigned char*>(text.data()), text.size(), level, threads, kChunk,
                   tick, context, start};
    DeflatedStream stream{};
    const char* failure = DeflateInChunks(job, &stream);
    EXPECT_EQ(failure, nullptr) << failure;
    std::string bytes(reinterpret_cast<const char*>(stream.bytes), stream.size);
    FreeDeflated(&stream);
    return bytes;
}

// The body size that makes a file entry exactly room bytes long.
size_t BodyFilling(const std::string& path, size_t room)
{
    size_t body = room;
    while (FileEntry(path, "").size() - 1 + std::to_string(body).size() + body > room)
        --body;
    return body;
}

struct Source {
    const std::string* bytes;
    size_t at;
};

// The installer's own reader, fed as the installer feeds it.
std::string InflateAsTheInstaller(const std::string& stream)
{
    Source source{&stream, 0};
    auto read = [](void* context, unsigned char* buffer, int capacity) {
        Source* s = static_cast<Source*>(context);
        const size_t n = std::min(static_cast<size_t>(capacity), s->bytes->size() - s->at);
        std::memcpy(buffer, s->bytes->data() + s->at, n);
        s->at += n;
        return static_cast<int>(n);
    };
    std::unique_ptr<InflatingReader, InflatingReaderDeleter> reader(CreateInflatingReader(read, &source));
    std::string out;
    unsigned char block[65536];
    while (!reader->finished) {
        const int got = InflateBytes(reader.get(), block, sizeof block);
        out.append(reinterpret_cast<char*>(block), static_cast<size_t>(got));
        if (got == 0 && !reader->finished && source.at == stream.size())
            break;  // input gone, stream not ended
    }
    EXPECT_TRUE(reader->finished);
    EXPECT_EQ(reader->errorText, nullptr) << reader->errorText;
    return out;
}

// An archive of three chunks: a name line across the first edge, a packed
// file across the second (so the middle chunk holds nothing that
// compresses), and a text file that ends the archive on the third.
TEST(ParallelDeflate, StreamReadsBackExactlyAcrossEdgesInANameABodyAndAtTheEnd)
{
    std::string text = kArchiveHeader + DirEntry(".");
    const std::string noiseHeader = "f\n" + std::to_string(kChunk + 3000) + "\n./music/theme.ogg\n";
    const size_t firstBody = kChunk - text.size() - FileEntry("./levels/one.txt", "").size() - 9;
    text += FileEntry("./levels/one.txt", TextData(firstBody, 1));
    ASSERT_LT(text.size(), kChunk);
    ASSERT_GT(text.size() + noiseHeader.size(), kChunk);
    const std::string noise = NoiseBytes(kChunk + 3000, 7);
    text += noiseHeader + noise;
    ASSERT_GT(text.size(), 2 * kChunk);
    text += FileEntry("./levels/two.txt", TextData(BodyFilling("./levels/two.txt", 3 * kChunk - text.size()), 2));
    ASSERT_EQ(text.size(), 3 * kChunk);

    for (int level : {1, 6, 12}) {
        SCOPED_TRACE(level);
        const std::string stream = Deflated(text, level, 2);
        EXPECT_EQ(InflateAsTheInstaller(stream), text);
        // The middle chunk went in stored, its neighbours compressed.
        EXPECT_NE(stream.find(noise.substr(kChunk / 2, 4096)), std::string::npos);
        EXPECT_EQ(stream.find(text.substr(1000, 4096)), std::string::npos);
        EXPECT_EQ(stream.find(text.substr(3 * kChunk - 5000, 4096)), std::string::npos);
        EXPECT_LT(stream.size(), kChunk + 2 * kChunk / 3);
    }
}

TEST(ParallelDeflate, DataThatDoesNotCompressCostsNoMoreThanStoredBlocks)
{
    const std::string noise = NoiseBytes(2 * kChunk + 70000, 3);
    // Per chunk, its bytes and five for each stored block of up to 65535;
    // then the zlib header, the final block and the check value.
    size_t stored = 2 + 2 + 4;
    for (size_t start = 0; start < noise.size(); start += kChunk) {
        const size_t n = std::min(kChunk, noise.size() - start);
        stored += n + 5 * ((n + 65534) / 65535);
    }
    for (int level : {0, 1, 12}) {
        SCOPED_TRACE(level);
        const std::string stream = Deflated(noise, level, 2);
        EXPECT_LE(stream.size(), stored);
        EXPECT_EQ(InflateAsTheInstaller(stream), noise);
    }
}

struct Starts {
    int allowed;
    int tried = 0;
};

Starts g_starts{0};

int StartSome(pthread_t* thread, void* (*run)(void*), void* argument)
{
    if (g_starts.tried++ >= g_starts.allowed)
        return EAGAIN;
    return pthread_create(thread, nullptr, run, argument);
}

struct Ticks {
    DeflateProgress last{};
    int count = 0;
};

TEST(ParallelDeflate, SameBytesWithAnyThreadCountAndWhenThreadsCannotStart)
{
    std::string text = kArchiveHeader;
    for (int i = 0; i < 6; ++i) {
        text += FileEntry("./levels/" + std::to_string(i), TextData(90000 + 7919 * i, i));
        text += FileEntry("./music/" + std::to_string(i), NoiseBytes(60000, i));
    }
    text.resize(5 * kChunk + 1234, 'x');
    const std::string alone = Deflated(text, 12, 1);
    EXPECT_EQ(InflateAsTheInstaller(alone), text);
    for (int threads : {2, 7, 0}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(Deflated(text, 12, threads), alone);
    }
    for (int allowed : {0, 2}) {
        SCOPED_TRACE(allowed);
        g_starts = {allowed};
        Ticks ticks;
        auto tick = [](void* context, const DeflateProgress& progress) {
            Ticks* t = static_cast<Ticks*>(context);
            t->last = progress;
            t->count++;
        };
        EXPECT_EQ(Deflated(text, 12, 7, StartSome, tick, &ticks), alone);
        EXPECT_EQ(g_starts.tried, allowed + 1);  // stops starting at the first that fails
        if (allowed == 0) {
            // The calling thread did it all and told of every chunk.
            EXPECT_EQ(ticks.count, 6);
            EXPECT_EQ(ticks.last.threads, 1);
            EXPECT_EQ(ticks.last.chunksDone, 6u);
            EXPECT_EQ(ticks.last.textDone, text.size());
        }
    }
}

// Fed a chunk at a time, a stream writes chunks out as it goes and never
// holds more than it says, so its memory does not grow with the text.
TEST(ParallelDeflate, StreamHoldsNoMoreChunksThanItSaysWhateverTheTextsLength)
{
    constexpr size_t kSmall = 64 * 1024;
    constexpr size_t kChunks = 40;
    const std::string text = TextData(kChunks * kSmall, 5);
    auto tick = [](void* context, const DeflateProgress& progress) { static_cast<Ticks*>(context)->last = progress; };
    auto sink = [](void*, const unsigned char*, size_t) { return true; };
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        Ticks ticks;
        DeflateStream* stream = nullptr;
        ASSERT_EQ(StartDeflateStream({6, threads, kSmall, tick, &ticks, sink, nullptr, nullptr}, &stream), nullptr);
        for (size_t fed = 1; fed <= kChunks; ++fed) {
            ASSERT_EQ(WriteDeflateStream(stream, text.data() + (fed - 1) * kSmall, kSmall), nullptr);
            EXPECT_LE(fed - ticks.last.chunksDone, DeflateStreamChunks(threads));
        }
        EXPECT_EQ(FinishDeflateStream(stream), nullptr);
        EXPECT_EQ(ticks.last.chunksDone, kChunks);
        EndDeflateStream(stream);
    }
}

}  // namespace
