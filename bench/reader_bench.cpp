// Benchmarks of the inflating reader's two paths through the extractor's
// walk: ReadLine over many short lines, and CopyToFile with big bodies.
#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "payload/archive_extractor.h"
#include "payload/payload_range.h"

namespace {

std::string Compress(const std::string& data)
{
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()), data.size(), 9);
    out.resize(size);
    return out;
}

PayloadRange RangeOf(const std::string& payload)
{
    return {reinterpret_cast<const unsigned char*>(payload.data()), static_cast<int32_t>(payload.size()), nullptr,
            nullptr};
}

const char* SkipFolder(void*, ArchiveExtractor*, const char*) { return nullptr; }

const char* CountEmptyFile(void* context, ArchiveExtractor*, int, const char*)
{
    ++*static_cast<int*>(context);
    return nullptr;
}

// An archive of many empty files: nothing but entry lines.
void LinePath(benchmark::State& state)
{
    std::string text = "Quarn\n";
    for (int i = 0; text.size() < 2000000; ++i)
        text += "f\n0\n./data/levels/chapter" + std::to_string(i % 9) + "/level" + std::to_string(i) + ".map\n";
    const std::string payload = Compress(text);
    for (auto _ : state) {
        int files = 0;
        if (WalkPayloadRange(RangeOf(payload), {SkipFolder, CountEmptyFile, &files}) != nullptr)
            state.SkipWithError("walk stopped");
        benchmark::DoNotOptimize(files);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(LinePath)->Unit(benchmark::kMillisecond);

const char* CopyToSink(void* context, ArchiveExtractor* extractor, int size, const char*)
{
    return CopyToFile(extractor, static_cast<FILE*>(context), size) == size ? nullptr : "short copy";
}

// One big body, compressible (range 0) or not (range 1), copied to /dev/null.
void BlockPath(benchmark::State& state)
{
    uint32_t seed = 1;
    std::string body(32 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) {
        seed = seed * 1103515245 + 12345;
        body[i] = static_cast<char>(state.range(0) == 0 ? "aaaabcd\n"[(seed >> 16) & 7] : seed >> 16);
    }
    const std::string payload = Compress("Quarn\nf\n" + std::to_string(body.size()) + "\n./big\n" + body);
    FILE* sink = std::fopen("/dev/null", "wb");
    for (auto _ : state) {
        if (WalkPayloadRange(RangeOf(payload), {SkipFolder, CopyToSink, sink}) != nullptr)
            state.SkipWithError("short copy");
    }
    std::fclose(sink);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(BlockPath)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
