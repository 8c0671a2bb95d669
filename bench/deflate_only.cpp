// zlib alone: deflates a file into one zlib stream at a level, as payloads
// were made before libdeflate, for the benchmark to compare against.
// Usage: deflate_only LEVEL IN OUT
#include <cstdio>
#include <cstdlib>

#include <zlib.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: deflate_only LEVEL IN OUT\n");
        return 2;
    }
    FILE* in = std::fopen(argv[2], "rb");
    FILE* out = std::fopen(argv[3], "wb");
    z_stream stream{};
    if (in == nullptr || out == nullptr || deflateInit(&stream, std::atoi(argv[1])) != Z_OK) {
        std::fprintf(stderr, "deflate_only: cannot start\n");
        return 2;
    }
    static unsigned char input[1 << 16];
    static unsigned char output[1 << 16];
    int flush;
    do {
        stream.next_in = input;
        stream.avail_in = static_cast<uInt>(std::fread(input, 1, sizeof input, in));
        flush = std::feof(in) ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = output;
            stream.avail_out = sizeof output;
            deflate(&stream, flush);
            std::fwrite(output, 1, sizeof output - stream.avail_out, out);
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&stream);
    if (std::ferror(in) || std::fclose(out) != 0) {
        std::fprintf(stderr, "deflate_only: read or write error\n");
        return 1;
    }
    return 0;
}
