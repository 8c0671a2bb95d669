// The streaming Quarn archive writer: entries deflated into one zlib stream.
#include "tools/archive_writer.h"

#include <string>

static int FailWriter(ArchiveWriter* writer, const char* text)
{
    if (writer->errorText == nullptr)
        writer->errorText = text;
    return -1;
}

// Runs deflate with flush until it has consumed the input (and, for
// Z_FINISH, ended the stream), writing every full or final output buffer.
static int Deflate(ArchiveWriter* writer, int flush)
{
    z_stream& stream = writer->stream;
    for (;;) {
        stream.next_out = writer->outBuffer;
        stream.avail_out = kWriterBufferSize;
        int result = deflate(&stream, flush);
        if (result == Z_STREAM_ERROR)
            return FailWriter(writer, "deflate failed");
        size_t have = kWriterBufferSize - stream.avail_out;
        if (have > 0 && fwrite(writer->outBuffer, 1, have, writer->out) != have)
            return FailWriter(writer, "write error");
        writer->compressedBytes += have;
        if (flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_out != 0)
            return 0;
    }
}

int StartArchive(ArchiveWriter* writer, FILE* out, int level)
{
    writer->out = out;
    writer->started = false;
    writer->errorText = nullptr;
    writer->compressedBytes = 0;
    writer->stream.zalloc = nullptr;
    writer->stream.zfree = nullptr;
    writer->stream.opaque = nullptr;
    writer->stream.state = nullptr;
    if (level < 0 || level > 9)
        return FailWriter(writer, "bad compression level");
    if (deflateInit(&writer->stream, level) != Z_OK)
        return FailWriter(writer, "deflater won't start");
    writer->started = true;
    return WriteArchiveBytes(writer, "Quarn\n", 6);
}

int WriteArchiveBytes(ArchiveWriter* writer, const void* data, size_t size)
{
    if (writer->errorText != nullptr)
        return -1;
    const unsigned char* next = static_cast<const unsigned char*>(data);
    while (size > 0) {
        uInt piece = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
        writer->stream.next_in = const_cast<unsigned char*>(next);
        writer->stream.avail_in = piece;
        if (Deflate(writer, Z_NO_FLUSH) != 0)
            return -1;
        next += piece;
        size -= piece;
    }
    return 0;
}

static int WriteLine(ArchiveWriter* writer, const std::string& text)
{
    std::string line = text + "\n";
    return WriteArchiveBytes(writer, line.data(), line.size());
}

int WriteFolderEntry(ArchiveWriter* writer, const char* path)
{
    if (WriteLine(writer, "d") != 0)
        return -1;
    return WriteLine(writer, path);
}

int WriteFileHeader(ArchiveWriter* writer, const char* path, int64_t size)
{
    if (WriteLine(writer, "f") != 0 || WriteLine(writer, std::to_string(size)) != 0)
        return -1;
    return WriteLine(writer, path);
}

int FinishArchive(ArchiveWriter* writer)
{
    if (writer->errorText != nullptr)
        return -1;
    writer->stream.next_in = nullptr;
    writer->stream.avail_in = 0;
    if (Deflate(writer, Z_FINISH) != 0)
        return -1;
    if (fflush(writer->out) != 0 || ferror(writer->out))
        return FailWriter(writer, "write error");
    return 0;
}

void EndArchiveWriter(ArchiveWriter* writer)
{
    if (writer->started)
        deflateEnd(&writer->stream);
    writer->started = false;
}
