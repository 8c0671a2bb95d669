// libdeflate in one call: compresses a file whole into one zlib stream at a
// level, as quarn packed payloads before it cut them into chunks, for the
// benchmark to compare sizes, pack times and extraction against.
// Usage: deflate_whole LEVEL IN OUT
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <libdeflate.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: deflate_whole LEVEL IN OUT\n");
        return 2;
    }
    FILE* in = std::fopen(argv[2], "rb");
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(std::atoi(argv[1]));
    if (in == nullptr || compressor == nullptr) {
        std::fprintf(stderr, "deflate_whole: cannot start\n");
        return 2;
    }
    std::vector<unsigned char> text;
    unsigned char piece[1 << 16];
    for (size_t got; (got = std::fread(piece, 1, sizeof piece, in)) > 0;)
        text.insert(text.end(), piece, piece + got);
    std::vector<unsigned char> out(libdeflate_zlib_compress_bound(compressor, text.size()));
    const size_t size = libdeflate_zlib_compress(compressor, text.data(), text.size(), out.data(), out.size());
    libdeflate_free_compressor(compressor);
    FILE* file = std::fopen(argv[3], "wb");
    if (size == 0 || std::ferror(in) || file == nullptr || std::fwrite(out.data(), 1, size, file) != size ||
        std::fclose(file) != 0) {
        std::fprintf(stderr, "deflate_whole: compression, read or write failed\n");
        return 1;
    }
    return 0;
}
