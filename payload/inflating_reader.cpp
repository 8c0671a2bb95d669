// Inflating reader over a read callback.
#include "payload/inflating_reader.h"

#include <new>

const char kReaderWontStart[] = "inflater won't start";
const char kReaderReadError[] = "read error";
const char kReaderJammed[] = "uncrusher jammed";

InflatingReader* CreateInflatingReader(ReadCallback read, void* context)
{
    InflatingReader* reader = new (std::nothrow) InflatingReader;
    if (reader == nullptr)
        return nullptr;
    reader->read = read;
    reader->context = context;
    reader->stream.next_in = nullptr;
    reader->stream.avail_in = 0;
    reader->stream.next_out = nullptr;
    reader->stream.avail_out = 0;
    reader->stream.zalloc = nullptr;
    reader->stream.zfree = nullptr;
    reader->stream.opaque = nullptr;
    // With zalloc and zfree null until inflateInit, inflateEnd on a reader
    // that never started touches nothing.
    reader->stream.state = nullptr;
    reader->started = false;
    reader->finished = false;
    reader->errorText = nullptr;
    return reader;
}

void DestroyInflatingReader(InflatingReader* reader)
{
    if (reader == nullptr)
        return;
    inflateEnd(&reader->stream);
    delete reader;
}

static void Fail(InflatingReader* reader, const char* text)
{
    reader->finished = true;
    reader->errorText = text;
}

int InflateBytes(InflatingReader* reader, unsigned char* target, int n)
{
    if (reader->finished || n < 1)
        return 0;
    z_stream& stream = reader->stream;
    if (!reader->started) {
        if (inflateInit(&stream) != Z_OK) {
            Fail(reader, kReaderWontStart);
            return 0;
        }
        reader->started = true;
    }

    const uLong before = stream.total_out;
    stream.next_out = target;
    stream.avail_out = static_cast<uInt>(n);
    while (stream.avail_out > 0) {
        if (stream.avail_in == 0) {
            int got = reader->read(reader->context, reader->inputBuffer, kInputBufferSize);
            if (got == -1) {
                Fail(reader, kReaderReadError);
                break;
            }
            if (got > 0) {
                stream.next_in = reader->inputBuffer;
                stream.avail_in = static_cast<uInt>(got);
            }
        }
        int result = inflate(&stream, Z_SYNC_FLUSH);
        if (result == Z_STREAM_END) {
            reader->finished = true;
            break;
        }
        if (result != Z_OK) {
            Fail(reader, kReaderJammed);
            break;
        }
    }
    // Unsigned difference, so a total_out that wrapped still gives the count.
    return static_cast<int>(static_cast<uLong>(stream.total_out - before));
}
