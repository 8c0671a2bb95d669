// The inflating reader: pulls compressed bytes through a read callback and
// inflates exactly the bytes each request asks for. Its end and any failure
// are latched; a failure carries one constant text.
#pragma once

#include <memory>

#include <zlib.h>

// Source of compressed bytes. Returns the count placed at the start of
// buffer, 0 (or another negative value) for nothing this time, or -1 when the
// source failed.
using ReadCallback = int (*)(void* context, unsigned char* buffer, int capacity);

constexpr int kInputBufferSize = 10000;

extern const char kReaderWontStart[];  // "inflater won't start"
extern const char kReaderReadError[];  // "read error"
extern const char kReaderJammed[];     // "uncrusher jammed"

struct InflatingReader {
    ReadCallback read;
    void* context;
    z_stream stream;
    unsigned char inputBuffer[kInputBufferSize];
    bool started;           // inflateInit succeeded
    bool finished;          // no more output will come; never cleared
    const char* errorText;  // set only together with finished
};

// A fresh reader, or null when there is no memory for it.
InflatingReader* CreateInflatingReader(ReadCallback read, void* context);

// Ends the inflater, whatever its state, and frees the reader. Null is fine.
void DestroyInflatingReader(InflatingReader* reader);

struct InflatingReaderDeleter {
    void operator()(InflatingReader* reader) const { DestroyInflatingReader(reader); }
};
using InflatingReaderHolder = std::unique_ptr<InflatingReader, InflatingReaderDeleter>;

// Inflates up to n (at least 1) bytes to target and returns the count
// produced: n, or fewer when the stream ended or failed in this call, or 0
// when the reader had already finished or its inflater would not start.
int InflateBytes(InflatingReader* reader, unsigned char* target, int n);
