// The Quarn archive writer: the text in memory, compressed whole with
// libdeflate.
#include "tools/archive_writer.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libdeflate.h>

#include "payload/quarn_format.h"

static int FailWriter(ArchiveWriter* writer, const char* text)
{
    if (writer->errorText == nullptr)
        writer->errorText = text;
    return -1;
}

static int Reserve(ArchiveWriter* writer, size_t capacity)
{
    void* grown = std::realloc(writer->bytes, capacity);
    if (grown == nullptr)
        return FailWriter(writer, "out of memory");
    writer->bytes = static_cast<unsigned char*>(grown);
    writer->capacity = capacity;
    return 0;
}

int StartArchive(ArchiveWriter* writer, size_t capacity)
{
    writer->bytes = nullptr;
    writer->size = 0;
    writer->capacity = 0;
    writer->errorText = nullptr;
    if (Reserve(writer, capacity < 64 ? 64 : capacity) != 0)
        return -1;
    return WriteArchiveBytes(writer, kQuarnHeader, kQuarnHeaderBytes);
}

int WriteArchiveBytes(ArchiveWriter* writer, const void* data, size_t size)
{
    if (writer->errorText != nullptr)
        return -1;
    if (size > writer->capacity - writer->size &&
        Reserve(writer, writer->size + (size > writer->size ? size : writer->size)) != 0)
        return -1;
    std::memcpy(writer->bytes + writer->size, data, size);
    writer->size += size;
    return 0;
}

static int WriteLine(ArchiveWriter* writer, const std::string& text)
{
    std::string line = text + "\n";
    return WriteArchiveBytes(writer, line.data(), line.size());
}

int WriteFolderEntry(ArchiveWriter* writer, const char* path)
{
    if (WriteArchiveBytes(writer, kQuarnFolderTag, kQuarnTagBytes) != 0)
        return -1;
    return WriteLine(writer, path);
}

int WriteFileHeader(ArchiveWriter* writer, const char* path, int64_t size)
{
    if (WriteArchiveBytes(writer, kQuarnFileTag, kQuarnTagBytes) != 0 || WriteLine(writer, std::to_string(size)) != 0)
        return -1;
    return WriteLine(writer, path);
}

size_t FolderEntryBytes(const char* path)
{
    return kQuarnTagBytes + std::strlen(path) + 1;
}

size_t FileEntryBytes(const char* path, int64_t size)
{
    return kQuarnTagBytes + std::to_string(size).size() + 1 + std::strlen(path) + 1 + static_cast<size_t>(size);
}

void EndArchiveWriter(ArchiveWriter* writer)
{
    std::free(writer->bytes);
    writer->bytes = nullptr;
    writer->size = 0;
    writer->capacity = 0;
}

namespace {

struct CompressJob {
    libdeflate_compressor* compressor;
    const ArchiveWriter* writer;
    CompressedArchive* out;
    size_t capacity;
    std::atomic<bool> done;
};

void* RunCompression(void* argument)
{
    CompressJob* job = static_cast<CompressJob*>(argument);
    job->out->size = libdeflate_zlib_compress(job->compressor, job->writer->bytes, job->writer->size,
                                              job->out->bytes, job->capacity);
    job->done.store(true);
    return nullptr;
}

struct CompressorHolder {
    libdeflate_compressor* compressor;
    ~CompressorHolder() { libdeflate_free_compressor(compressor); }
};

}  // namespace

int CompressArchive(ArchiveWriter* writer, int level, CompressTick tick, void* context, CompressedArchive* out)
{
    out->bytes = nullptr;
    out->size = 0;
    if (writer->errorText != nullptr)
        return -1;
    if (level < 0 || level > kMaxCompressionLevel)
        return FailWriter(writer, "bad compression level");
    CompressorHolder holder{libdeflate_alloc_compressor(level)};
    if (holder.compressor == nullptr)
        return FailWriter(writer, "out of memory");
    // malloc rather than new[] or a vector: the block is not cleared, so
    // the pages past what libdeflate writes are never touched.
    const size_t capacity = libdeflate_zlib_compress_bound(holder.compressor, writer->size);
    out->bytes = static_cast<unsigned char*>(std::malloc(capacity));
    if (out->bytes == nullptr)
        return FailWriter(writer, "out of memory");

    CompressJob job{holder.compressor, writer, out, capacity, {false}};
    pthread_t thread;
    if (tick == nullptr || pthread_create(&thread, nullptr, RunCompression, &job) != 0) {
        RunCompression(&job);
    } else {
        const timespec tenth = {0, 100 * 1000 * 1000};
        while (!job.done.load()) {
            nanosleep(&tenth, nullptr);
            tick(context);
        }
        pthread_join(thread, nullptr);
    }
    if (out->size == 0) {
        FreeCompressed(out);
        return FailWriter(writer, "compression failed");
    }
    return 0;
}

void FreeCompressed(CompressedArchive* compressed)
{
    std::free(compressed->bytes);
    compressed->bytes = nullptr;
    compressed->size = 0;
}

size_t CompressedBound(size_t archiveBytes)
{
    return libdeflate_zlib_compress_bound(nullptr, archiveBytes);
}
