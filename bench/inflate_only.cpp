// zlib alone: inflates a payload file into a 64 KB buffer over and over and
// drops the output. The floor that extraction is measured against.
// Usage: inflate_only PAYLOAD
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <zlib.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: inflate_only PAYLOAD\n");
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
    static unsigned char out[64 * 1024];
    int result;
    do {
        stream.next_out = out;
        stream.avail_out = sizeof out;
        result = inflate(&stream, Z_NO_FLUSH);
    } while (result == Z_OK);
    unsigned long total = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        std::fprintf(stderr, "inflate_only: %s: stream is damaged\n", argv[1]);
        return 1;
    }
    std::printf("%lu bytes inflated\n", total);
    return 0;
}
