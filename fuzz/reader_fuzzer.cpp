// Fuzz target: the inflating reader alone, through any mix of line reads and
// block copies, fed in slices of chosen sizes by a source that can fail.
// Input: a mode byte (bit 0: compress the stream here first, bits 1-3 the
// strategy, bits 4-7 the level), an op count, a slice count, the op bytes,
// the slice bytes, then the stream. Every byte the reader produces is checked
// against a second inflater that has the whole stream at once.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "payload/archive_extractor.h"
#include "tests/archive_builder.h"

#define CHECK(condition) \
    ((condition) ? (void)0 : (std::fprintf(stderr, "reader fuzzer: %s\n", #condition), std::abort()))

namespace {

// Op byte: the top two bits pick the op, the low six its size.
enum { kLine, kCopyToFile, kCopyToNull, kCopyToBrokenFile };
constexpr int kCopySizes[16] = {INT_MIN, -1, 4095, 4096, kBlockSize - 1, kBlockSize, kBlockSize + 1, 2 * kBlockSize,
                                2 * kBlockSize + 7, 3 * kBlockSize - 1, 65536, 123457, 200000, 1 << 20, INT_MAX - 1,
                                INT_MAX};
// Slice byte: up to 251 delivers that many bytes plus one; then all that
// fits, nothing (0), nothing (-7), failure (-1).
constexpr unsigned char kSliceAll = 252, kSliceZero = 253, kSliceOtherNegative = 254, kSliceFail = 255;

struct Source {
    const std::string* bytes;
    size_t position;
    const unsigned char* slices;
    size_t sliceCount, calls;
    bool irregular;  // failed, or gave nothing while bytes remained
    bool failed;     // returned -1
    const InflatingReader* reader;
};

int ReadSlices(void* context, unsigned char* buffer, int capacity)
{
    auto* s = static_cast<Source*>(context);
    CHECK(capacity == kInputBufferSize && buffer == s->reader->inputBuffer);
    CHECK(!s->reader->finished && s->reader->stream.avail_in == 0);
    size_t n = std::min(s->bytes->size() - s->position, static_cast<size_t>(capacity));
    const unsigned char pick = s->sliceCount == 0 ? kSliceAll : s->slices[s->calls % s->sliceCount];
    ++s->calls;
    if (pick == kSliceFail) {
        s->irregular = s->failed = true;
        return -1;
    }
    if (pick == kSliceZero || pick == kSliceOtherNegative) {
        s->irregular = s->irregular || n > 0;
        return pick == kSliceZero ? 0 : -7;
    }
    n = pick == kSliceAll ? n : std::min(n, static_cast<size_t>(pick) + 1);
    std::memcpy(buffer, s->bytes->data() + s->position, n);
    s->position += n;
    return static_cast<int>(n);
}

// The next n bytes of the whole stream inflated at once, or fewer at its end.
int g_referenceResult;  // Z_OK while more may come
std::vector<unsigned char> Reference(z_stream* stream, size_t n)
{
    std::vector<unsigned char> out(n);
    stream->next_out = out.data();
    stream->avail_out = static_cast<uInt>(n);
    while (stream->avail_out > 0 && g_referenceResult == Z_OK)
        g_referenceResult = inflate(stream, Z_NO_FLUSH);
    out.resize(n - stream->avail_out);
    return out;
}

size_t Produced(const InflatingReader* reader) { return reader->started ? reader->stream.total_out : 0; }

ArchiveExtractor g_extractor;
FILE* g_file;        // a temporary file, read back after each copy
FILE* g_null;        // /dev/null
FILE* g_brokenFile;  // /dev/null opened for reading: every write fails

void RunOp(unsigned char op, Source* source, z_stream* reference)
{
    InflatingReader* reader = g_extractor.reader.get();
    const bool wasFinished = reader->finished;
    const char* const errorBefore = reader->errorText;
    const size_t callsBefore = source->calls, before = Produced(reader);
    const int size = op & 63;
    size_t produced;
    if (op >> 6 == kLine) {
        const int count = size == 63 ? kQuarnLineBuffer : size + 2;
        char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(count)));  // exact size, for ASan
        std::memset(buffer, 0x5A, static_cast<size_t>(count));
        const char* line = ReadLine(&g_extractor, buffer, count);
        produced = Produced(reader) - before;
        CHECK(produced <= static_cast<size_t>(count - 1));
        std::vector<unsigned char> bytes = Reference(reference, produced);
        CHECK(bytes.size() == produced);
        // One LF at most, and only as the last byte; a line stops there or
        // at count - 1 bytes, and fails only at the stream's end.
        const bool lineFeed = produced > 0 && bytes.back() == '\n';
        CHECK(std::find(bytes.begin(), bytes.end(), '\n') == bytes.end() - (lineFeed ? 1 : 0));
        if (line != nullptr)
            CHECK(line == buffer && (lineFeed || produced == static_cast<size_t>(count - 1)));
        else
            CHECK(reader->finished && !lineFeed && produced < static_cast<size_t>(count - 1));
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
        CHECK(std::equal(bytes.begin(), bytes.end(), reinterpret_cast<unsigned char*>(buffer)) &&
              buffer[bytes.size()] == '\0');
        CHECK(!wasFinished || line == nullptr);
        std::free(buffer);
    } else {
        const int n = size < 48 ? size - 2 : kCopySizes[size - 48];
        FILE* file = op >> 6 == kCopyToFile ? g_file : op >> 6 == kCopyToNull ? g_null : g_brokenFile;
        CHECK(file != g_file || ftruncate(fileno(g_file), 0) == 0);
        std::rewind(file);
        const int copied = CopyToFile(&g_extractor, file, n);
        produced = Produced(reader) - before;
        CHECK(copied >= -1 && copied <= std::max(n, 0) && produced <= static_cast<size_t>(std::max(n, 0)));
        if (n <= 0 || wasFinished)
            CHECK(produced == 0 && copied == (n > 0 && reader->errorText != nullptr ? -1 : 0));
        if (file == g_brokenFile)
            CHECK(copied == -1 || produced == 0);
        else if (copied == -1)
            CHECK(reader->errorText != nullptr);
        else  // all, or what came before a clean end
            CHECK(static_cast<size_t>(copied) == produced &&
                  (copied == std::max(n, 0) || (reader->finished && reader->errorText == nullptr)));
        const std::vector<unsigned char> bytes = Reference(reference, produced);
        CHECK(bytes.size() == produced);
        if (file == g_file) {
            std::fflush(file);
            std::vector<unsigned char> written(produced + 1);
            CHECK(pread(fileno(file), written.data(), written.size(), 0) == static_cast<ssize_t>(produced));
            CHECK(std::equal(bytes.begin(), bytes.end(), written.begin()));
        }
    }

    CHECK(reader->errorText == nullptr || reader->finished);
    CHECK(errorBefore == nullptr || reader->errorText == errorBefore);
    CHECK(!wasFinished || (reader->finished && produced == 0 && source->calls == callsBefore));
    CHECK(reader->errorText != kReaderWontStart && (reader->errorText != kReaderReadError || source->failed));
    if (reader->finished && !wasFinished) {
        // The reader ends where the whole stream ends, and jams where that
        // cannot go on, unless its source misbehaved.
        const bool more = !Reference(reference, 1).empty();
        if (reader->errorText == nullptr)
            CHECK(!more && g_referenceResult == Z_STREAM_END);
        else if (!source->irregular)
            CHECK(!more && g_referenceResult != Z_STREAM_END);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || size > (1u << 20) || size < 3u + data[1] % 33u + data[2] % 17u)
        return 0;
    const unsigned mode = data[0], opCount = data[1] % 33u, sliceCount = data[2] % 17u;
    const unsigned char* ops = data + 3;
    std::string stream(reinterpret_cast<const char*>(ops + opCount + sliceCount), size - 3 - opCount - sliceCount);
    if (mode & 1) {
        DeflateSettings settings;
        settings.strategy = static_cast<int>((mode >> 1) & 7) % 5;
        settings.level = static_cast<int>(mode >> 4) % 10;
        stream = Deflate(stream, settings);
    }
    if (g_file == nullptr) {
        g_file = std::tmpfile();
        g_null = std::fopen("/dev/null", "wb");
        g_brokenFile = std::fopen("/dev/null", "rb");
        CHECK(g_file != nullptr && g_null != nullptr && g_brokenFile != nullptr);
    }

    Source source{&stream, 0, ops + opCount, sliceCount, 0, false, false, nullptr};
    g_extractor.reader.reset(CreateInflatingReader(ReadSlices, &source));
    CHECK(g_extractor.reader != nullptr);
    source.reader = g_extractor.reader.get();
    z_stream reference{};
    CHECK(inflateInit(&reference) == Z_OK);
    g_referenceResult = Z_OK;
    reference.next_in = reinterpret_cast<Bytef*>(stream.data());
    reference.avail_in = static_cast<uInt>(stream.size());
    // Cycle through the ops until the reader finishes, then once more.
    for (unsigned i = 0, afterEnd = 0; i < 64 && afterEnd < 2; ++i) {
        RunOp(opCount == 0 ? 63 : ops[i % opCount], &source, &reference);
        afterEnd += g_extractor.reader->finished ? 1 : 0;
    }
    inflateEnd(&reference);
    g_extractor.reader.reset();
    return 0;
}

// Line reads around CR and long lines, block copies across chunk edges,
// sources that trickle, stall or fail, cut and damaged streams.
std::vector<std::string> FuzzSeeds()
{
    const auto input = [](char mode, const std::string& ops, const std::string& slices, const std::string& stream) {
        return std::string{mode, static_cast<char>(ops.size()), static_cast<char>(slices.size())} + ops + slices +
               stream;
    };
    const std::string text = "Quarn\r\nd\n.\nf\n5\na.txt\nhello" + std::string(300, 'x') + "\r\r\nend\n";
    std::string body;  // crosses two block edges, yet compresses well
    for (int i = 0; i < 101; ++i)
        body += NoiseBytes(1000, 3);
    const std::string big = Deflate(kArchiveHeader + FileEntry("noise", body) + "f\n0\ne\n");
    const std::string lines = {0, 1, 3, 63, 63};
    const std::string copies = {0, 63, 0x40 | 52, char(0x80 | 54), char(0xC0 | 3), 63, 0x40 | 63};
    std::vector<std::string> seeds = {input(0, lines, "", Deflate(text)), input(1, lines, "", text),
                                      input(char(0x91), lines, std::string(1, '\0'), text), input(0x51, lines, "", ""),
                                      input(0, lines, "", "\x78\x9c garbage"), input(0, "", "", "")};
    for (const char* slices : {"", "\x07\xFC", "\x10\xFD", "\x10\xFE\xFC", "\x10\x10\xFF"})
        seeds.push_back(input(0, copies, slices, big));
    seeds.push_back(input(0, copies, "", big.substr(0, big.size() / 2)));
    seeds.push_back(input(0, copies, "", big.substr(0, big.size() - 2)));
    return seeds;
}
