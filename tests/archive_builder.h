// Builds Quarn archives and their zlib payloads in memory, for the tests and
// the fuzz seeds. Archives are plain strings; Deflate wraps one in a zlib
// stream made with whatever writer settings a test wants.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zlib.h>

#include "payload/quarn_format.h"

inline const std::string kArchiveHeader = kQuarnHeader;

inline std::string DirEntry(const std::string& path) { return kQuarnFolderTag + path + "\n"; }

inline std::string FileEntry(const std::string& path, const std::string& body)
{
    return kQuarnFileTag + std::to_string(body.size()) + "\n" + path + "\n" + body;
}

// Deterministic bytes that do not compress, every value 0..255 included.
inline std::string NoiseBytes(size_t count, uint32_t seed)
{
    std::string bytes(count, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

struct DeflateSettings {
    int level = Z_DEFAULT_COMPRESSION;
    int windowBits = 15;  // 8..15 zlib, -15 raw deflate, 31 gzip
    int memLevel = 8;
    int strategy = Z_DEFAULT_STRATEGY;
    const std::string* dictionary = nullptr;
    size_t fullFlushEvery = 0;  // 0: one Z_FINISH over the whole input
};

// The compressed stream; aborts on a zlib failure, which is a broken test.
inline std::string Deflate(const std::string& raw, const DeflateSettings& settings = {})
{
    z_stream stream{};
    if (deflateInit2(&stream, settings.level, Z_DEFLATED, settings.windowBits, settings.memLevel,
                     settings.strategy) != Z_OK) {
        std::fprintf(stderr, "deflateInit2 failed\n");
        std::abort();
    }
    if (settings.dictionary != nullptr &&
        deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(settings.dictionary->data()),
                             static_cast<uInt>(settings.dictionary->size())) != Z_OK) {
        std::fprintf(stderr, "deflateSetDictionary failed\n");
        std::abort();
    }

    std::string out;
    unsigned char buffer[16384];
    size_t offset = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        size_t piece = raw.size() - offset;
        if (settings.fullFlushEvery != 0 && piece > settings.fullFlushEvery)
            piece = settings.fullFlushEvery;
        const bool last = offset + piece == raw.size();
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data() + offset));
        stream.avail_in = static_cast<uInt>(piece);
        const int flush = last ? Z_FINISH : Z_FULL_FLUSH;
        do {
            stream.next_out = buffer;
            stream.avail_out = sizeof buffer;
            result = deflate(&stream, flush);
            if (result == Z_STREAM_ERROR) {
                std::fprintf(stderr, "deflate failed\n");
                std::abort();
            }
            out.append(reinterpret_cast<char*>(buffer), sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0 || (last && result != Z_STREAM_END));
        offset += piece;
    }
    deflateEnd(&stream);
    return out;
}
