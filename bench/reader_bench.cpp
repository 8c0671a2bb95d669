// Benchmarks of the inflating reader's two paths through the extractor:
// ReadLine over many short lines, and CopyToFile with big bodies.
#include <cstdio>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "payload/archive_extractor.h"
#include "payload/payload_view.h"

namespace {

std::string Compress(const std::string& data)
{
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()), data.size(), 9);
    out.resize(size);
    return out;
}

void ViewPayload(const std::string& payload)
{
    g_payloadView.base = reinterpret_cast<const unsigned char*>(payload.data());
    g_payloadView.size = static_cast<int32_t>(payload.size());
    g_payloadView.consumed = 0;
}

std::unique_ptr<ArchiveExtractor> NewExtractor()
{
    std::unique_ptr<ArchiveExtractor> extractor(new ArchiveExtractor());
    extractor->reader.reset(CreateInflatingReader(ReadPayload, nullptr));
    return extractor;
}

// The entry lines of an archive of many small files, without bodies.
void LinePath(benchmark::State& state)
{
    std::string text;
    for (int i = 0; text.size() < 2000000; ++i)
        text += "f\n" + std::to_string(1000 + i * 37 % 90000) + "\n./data/levels/chapter" + std::to_string(i % 9) +
                "/level" + std::to_string(i) + ".map\n";
    const std::string payload = Compress(text);
    for (auto _ : state) {
        ViewPayload(payload);
        auto extractor = NewExtractor();
        int lines = 0;
        while (ReadLine(extractor.get(), extractor->line, kLineSize) != nullptr)
            ++lines;
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(LinePath)->Unit(benchmark::kMillisecond);

// One big body, compressible (range 0) or not (range 1), copied to /dev/null.
void BlockPath(benchmark::State& state)
{
    uint32_t seed = 1;
    std::string body(32 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) {
        seed = seed * 1103515245 + 12345;
        body[i] = static_cast<char>(state.range(0) == 0 ? "aaaabcd\n"[(seed >> 16) & 7] : seed >> 16);
    }
    const std::string payload = Compress(body);
    FILE* sink = std::fopen("/dev/null", "wb");
    for (auto _ : state) {
        ViewPayload(payload);
        auto extractor = NewExtractor();
        int copied = CopyToFile(extractor.get(), sink, static_cast<int>(body.size()));
        if (copied != static_cast<int>(body.size()))
            state.SkipWithError("short copy");
    }
    std::fclose(sink);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(BlockPath)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
