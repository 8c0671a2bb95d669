// zlib alone: inflates a payload file into a 64 KB buffer over and over and
// drops the output, or writes it to OUT: the floor that extraction is
// measured against, and the archive's bytes for other compressors.
// Usage: inflate_only PAYLOAD [OUT]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <zlib.h>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: inflate_only PAYLOAD [OUT]\n");
        return 2;
    }
    FILE* out = argc == 3 ? std::fopen(argv[2], "wb") : nullptr;
    if (argc == 3 && out == nullptr) {
        std::perror("inflate_only: OUT");
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size == 0) {
        std::fprintf(stderr, "inflate_only: %s: cannot read\n", argv[1]);
        return 2;
    }
    void* base = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (base == MAP_FAILED) {
        std::perror("inflate_only: mmap");
        return 2;
    }

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK)
        return 2;
    stream.next_in = static_cast<Bytef*>(base);
    stream.avail_in = static_cast<uInt>(info.st_size);
    static unsigned char buffer[64 * 1024];
    int result;
    do {
        stream.next_out = buffer;
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        if (out != nullptr)
            std::fwrite(buffer, 1, sizeof buffer - stream.avail_out, out);
    } while (result == Z_OK);
    if (out != nullptr && std::fclose(out) != 0) {
        std::perror("inflate_only: OUT");
        return 2;
    }
    unsigned long total = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        std::fprintf(stderr, "inflate_only: %s: stream is damaged\n", argv[1]);
        return 1;
    }
    std::printf("%lu bytes inflated\n", total);
    return 0;
}
