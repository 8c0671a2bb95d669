// The Quarn archive writer: the text into a stream, or in memory,
// compressed in chunks on every core.
#include "tools/archive_writer.h"

#include <cstdlib>
#include <cstring>
#include <string>

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
    writer->stream = nullptr;
    if (Reserve(writer, capacity < 64 ? 64 : capacity) != 0)
        return -1;
    return WriteArchiveBytes(writer, kQuarnHeader, kQuarnHeaderBytes);
}

int StartStreamedArchive(ArchiveWriter* writer, DeflateStream* stream)
{
    *writer = {nullptr, 0, 0, nullptr, stream};
    return WriteArchiveBytes(writer, kQuarnHeader, kQuarnHeaderBytes);
}

int WriteArchiveBytes(ArchiveWriter* writer, const void* data, size_t size)
{
    if (writer->errorText != nullptr)
        return -1;
    if (writer->stream != nullptr) {
        if (const char* failure = WriteDeflateStream(writer->stream, data, size))
            return FailWriter(writer, failure);
        writer->size += size;
        return 0;
    }
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

int CompressArchive(ArchiveWriter* writer, int level, CompressTick tick, void* context, CompressedArchive* out,
                    int threads)
{
    out->bytes = nullptr;
    out->size = 0;
    if (writer->errorText != nullptr)
        return -1;
    const DeflateJob job{writer->bytes, writer->size, level, threads, kDeflateChunkBytes, tick, context, nullptr};
    DeflatedStream stream{};
    if (const char* failure = DeflateInChunks(job, &stream))
        return FailWriter(writer, failure);
    out->bytes = stream.bytes;
    out->size = stream.size;
    return 0;
}

void FreeCompressed(CompressedArchive* compressed)
{
    std::free(compressed->bytes);
    compressed->bytes = nullptr;
    compressed->size = 0;
}
