// The inflating reader over scripted sources, and the line and block reads
// built on it.
#include <stdio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/archive_extractor.h"
#include "payload/inflating_reader.h"
#include "tests/archive_builder.h"

namespace {

// A read callback over a byte string: delivers at most slice bytes a call,
// fails with -1 once failAt bytes were delivered, and returns emptyResult
// when nothing is left.
struct ScriptedSource {
    std::string bytes;
    size_t position = 0;
    int slice = kInputBufferSize;
    long failAt = -1;
    int emptyResult = 0;
    int calls = 0;
};

int ReadScripted(void* context, unsigned char* buffer, int capacity)
{
    auto* source = static_cast<ScriptedSource*>(context);
    ++source->calls;
    if (source->failAt >= 0 && source->position >= static_cast<size_t>(source->failAt))
        return -1;
    size_t n = std::min({static_cast<size_t>(capacity), static_cast<size_t>(source->slice),
                         source->bytes.size() - source->position});
    if (source->failAt >= 0)
        n = std::min(n, static_cast<size_t>(source->failAt) - source->position);
    if (n == 0)
        return source->emptyResult;
    std::memcpy(buffer, source->bytes.data() + source->position, n);
    source->position += n;
    return static_cast<int>(n);
}

// An extractor whose reader inflates from a scripted source.
struct Rig {
    explicit Rig(const std::string& compressed) : extractor(std::make_unique<ArchiveExtractor>())
    {
        source.bytes = compressed;
        extractor->reader.reset(CreateInflatingReader(ReadScripted, &source));
    }
    InflatingReader* reader() { return extractor->reader.get(); }
    // Inflates everything through InflateBytes requests of the given size.
    std::string InflateAll(int request)
    {
        std::string out;
        std::vector<unsigned char> buffer(static_cast<size_t>(request));
        int n;
        while ((n = InflateBytes(reader(), buffer.data(), request)) > 0)
            out.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n));
        return out;
    }

    ScriptedSource source;
    std::unique_ptr<ArchiveExtractor> extractor;
};

}  // namespace

TEST(InflateBytes, DeliversTheStreamWhateverTheInputSlicesAndRequestSizes)
{
    const std::string raw = NoiseBytes(30000, 1) + std::string(40000, 'z') + NoiseBytes(5000, 2);
    const std::string compressed = Deflate(raw);
    for (int slice : {1, 7, 4093, kInputBufferSize}) {
        for (int request : {1, 333, 50000}) {
            Rig rig(compressed);
            rig.source.slice = slice;
            EXPECT_EQ(rig.InflateAll(request), raw) << "slice " << slice << " request " << request;
            EXPECT_TRUE(rig.reader()->finished);
            EXPECT_EQ(rig.reader()->errorText, nullptr);
        }
    }
}

TEST(InflateBytes, AsksTheSourceForTheWholeInputBuffer)
{
    struct Capacities {
        std::vector<int> seen;
    } capacities;
    InflatingReaderHolder reader(CreateInflatingReader(
        [](void* context, unsigned char*, int capacity) {
            static_cast<Capacities*>(context)->seen.push_back(capacity);
            return -1;
        },
        &capacities));
    unsigned char byte;
    EXPECT_EQ(InflateBytes(reader.get(), &byte, 1), 0);
    EXPECT_EQ(capacities.seen, std::vector<int>{kInputBufferSize});
}

TEST(InflateBytes, SourceFailureLatchesReadErrorAndKeepsWhatCameBefore)
{
    const std::string raw = NoiseBytes(20000, 3);
    Rig rig(Deflate(raw, {0}));  // stored: output follows input closely
    rig.source.failAt = 12000;
    std::vector<unsigned char> buffer(raw.size());
    int n = InflateBytes(rig.reader(), buffer.data(), static_cast<int>(raw.size()));
    EXPECT_GT(n, 10000);
    EXPECT_LT(n, 12000);
    EXPECT_EQ(std::memcmp(buffer.data(), raw.data(), static_cast<size_t>(n)), 0);
    EXPECT_TRUE(rig.reader()->finished);
    EXPECT_STREQ(rig.reader()->errorText, "read error");

    const int callsAtFailure = rig.source.calls;
    EXPECT_EQ(InflateBytes(rig.reader(), buffer.data(), 10), 0);
    EXPECT_EQ(rig.source.calls, callsAtFailure);
    EXPECT_STREQ(rig.reader()->errorText, "read error");
}

TEST(InflateBytes, SourceThatNeverDeliversJamsInsteadOfSpinning)
{
    for (int emptyResult : {0, -2}) {
        Rig rig("");
        rig.source.emptyResult = emptyResult;
        unsigned char buffer[16];
        EXPECT_EQ(InflateBytes(rig.reader(), buffer, 16), 0);
        EXPECT_STREQ(rig.reader()->errorText, "uncrusher jammed");
        EXPECT_LE(rig.source.calls, 2);
        EXPECT_EQ(InflateBytes(rig.reader(), buffer, 16), 0);
    }
}

TEST(InflateBytes, DamagedStreamsJam)
{
    const std::string raw = "Quarn\n" + FileEntry("a", NoiseBytes(3000, 4));
    const std::string compressed = Deflate(raw);

    Rig cut(compressed.substr(0, compressed.size() / 2));
    std::string got = cut.InflateAll(100);
    EXPECT_LT(got.size(), raw.size());
    EXPECT_EQ(got, raw.substr(0, got.size()));
    EXPECT_STREQ(cut.reader()->errorText, "uncrusher jammed");

    // With the checksum wrong every byte still comes out; the end fails.
    std::string flipped = compressed;
    flipped.back() ^= 0x01;
    Rig checksum(flipped);
    EXPECT_EQ(checksum.InflateAll(100), raw);
    EXPECT_STREQ(checksum.reader()->errorText, "uncrusher jammed");

    Rig raw_deflate(Deflate(raw, {Z_DEFAULT_COMPRESSION, -15}));
    EXPECT_EQ(raw_deflate.InflateAll(100), "");
    EXPECT_STREQ(raw_deflate.reader()->errorText, "uncrusher jammed");
}

// That the memory is freed once, and no zlib state touched, is for the
// address sanitizer to see; what can be asserted is that an unused reader's
// stream has nothing for inflateEnd to end.
TEST(InflateBytes, UnusedAndNullReadersAreDestroyedCleanlyUnderTheAddressSanitizer)
{
    InflatingReader* unused = CreateInflatingReader(ReadScripted, nullptr);
    ASSERT_NE(unused, nullptr);
    EXPECT_FALSE(unused->started);
    EXPECT_EQ(inflateEnd(&unused->stream), Z_STREAM_ERROR);
    DestroyInflatingReader(unused);
    DestroyInflatingReader(nullptr);
}

namespace {

std::string Line(Rig& rig, int count = kQuarnLineBuffer)
{
    const char* got = ReadLine(rig.extractor.get(), rig.extractor->line, count);
    return got == nullptr ? "<null>" : std::string(got);
}

}  // namespace

TEST(ReadLine, DropsCarriageReturnsWhereverTheyStand)
{
    Rig rig(Deflate("abc\r\na\rb\n\r\r\rx\r\n"));
    EXPECT_EQ(Line(rig), "abc\n");
    EXPECT_EQ(Line(rig), "ab\n");
    EXPECT_EQ(Line(rig), "x\n");
}

TEST(ReadLine, KeepsNulBytesInsideALine)
{
    Rig rig(Deflate(std::string("a\0b\n", 4)));
    ASSERT_NE(ReadLine(rig.extractor.get(), rig.extractor->line, kQuarnLineBuffer), nullptr);
    EXPECT_EQ(std::memcmp(rig.extractor->line, "a\0b\n\0", 5), 0);
}

TEST(ReadLine, SplitsALineThatFillsTheBuffer)
{
    Rig rig(Deflate(std::string(4999, 'q') + "\n" + std::string(4998, 'r') + "\nend\n"));
    EXPECT_EQ(Line(rig), std::string(4999, 'q'));
    EXPECT_EQ(Line(rig), "\n");
    EXPECT_EQ(Line(rig), std::string(4998, 'r') + "\n");
    EXPECT_EQ(Line(rig), "end\n");
}

TEST(ReadLine, CarriageReturnsCountTowardTheLimit)
{
    Rig rig(Deflate("ab\r\rc\n"));
    EXPECT_EQ(Line(rig, 5), "ab");
    EXPECT_EQ(Line(rig, 5), "c\n");
}

TEST(ReadLine, LastLineWithoutLineFeedIsNotALine)
{
    Rig rig(Deflate("one\ntail"));
    EXPECT_EQ(Line(rig), "one\n");
    EXPECT_EQ(Line(rig), "<null>");
    EXPECT_STREQ(rig.extractor->line, "tail");
    EXPECT_EQ(rig.reader()->errorText, nullptr);
}

TEST(ReadLine, AfterTheEndEveryCallIsNullWithAnEmptyBuffer)
{
    Rig rig(Deflate("only\n"));
    EXPECT_EQ(Line(rig), "only\n");
    for (int call = 0; call < 3; ++call) {
        rig.extractor->line[0] = 'X';
        EXPECT_EQ(Line(rig), "<null>");
        EXPECT_STREQ(rig.extractor->line, "");
    }
}

namespace {

// A FILE that records each write it is handed, unbuffered so that every
// fwrite reaches it whole; it can be told to fail.
struct WriteLog {
    std::vector<size_t> writes;
    std::string content;
    bool fail = false;
};

ssize_t LogWrite(void* cookie, const char* data, size_t size)
{
    auto* log = static_cast<WriteLog*>(cookie);
    if (log->fail)
        return -1;
    log->writes.push_back(size);
    log->content.append(data, size);
    return static_cast<ssize_t>(size);
}

FILE* OpenLog(WriteLog* log)
{
    cookie_io_functions_t functions{};
    functions.write = LogWrite;
    FILE* file = fopencookie(log, "wb", functions);
    if (file != nullptr)
        setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

}  // namespace

TEST(CopyToFile, NothingToCopyTouchesNeitherStreamNorFile)
{
    for (int n : {0, -5}) {
        Rig rig(Deflate("data"));
        WriteLog log;
        FILE* file = OpenLog(&log);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(CopyToFile(rig.extractor.get(), file, n), 0);
        fclose(file);
        EXPECT_EQ(rig.source.calls, 0);
        EXPECT_FALSE(rig.reader()->started);
        EXPECT_TRUE(log.writes.empty());
    }
}

TEST(CopyToFile, WritesWholeBlocksThenTheRemainderAndLeavesTheRestForLines)
{
    const std::string body = NoiseBytes(120000, 5);
    Rig rig(Deflate(body + "next\n"));
    WriteLog log;
    FILE* file = OpenLog(&log);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(CopyToFile(rig.extractor.get(), file, 120000), 120000);
    fclose(file);
    EXPECT_EQ(log.writes, (std::vector<size_t>{50000, 50000, 20000}));
    EXPECT_EQ(log.content, body);
    EXPECT_EQ(Line(rig), "next\n");
}

TEST(CopyToFile, StreamEndingInsideTheBodyGivesTheShortCount)
{
    Rig rig(Deflate("short body"));
    WriteLog log;
    FILE* file = OpenLog(&log);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(CopyToFile(rig.extractor.get(), file, 60000), 10);
    fclose(file);
    EXPECT_EQ(log.content, "short body");
    EXPECT_EQ(rig.reader()->errorText, nullptr);
}

TEST(CopyToFile, ReaderFailureIsMinusOneAfterWritingWhatCame)
{
    const std::string body = NoiseBytes(30000, 6);
    Rig rig(Deflate(body, {0}));
    rig.source.failAt = 15000;
    WriteLog log;
    FILE* file = OpenLog(&log);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(CopyToFile(rig.extractor.get(), file, 30000), -1);
    fclose(file);
    EXPECT_GT(log.content.size(), 10000u);
    EXPECT_EQ(log.content, body.substr(0, log.content.size()));

    // A reader that already failed keeps failing.
    file = OpenLog(&log);
    EXPECT_EQ(CopyToFile(rig.extractor.get(), file, 1), -1);
    fclose(file);
}

TEST(CopyToFile, WriteErrorIsMinusOne)
{
    Rig rig(Deflate(NoiseBytes(1000, 7)));
    WriteLog log;
    log.fail = true;
    FILE* file = OpenLog(&log);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(CopyToFile(rig.extractor.get(), file, 1000), -1);
    fclose(file);
}
