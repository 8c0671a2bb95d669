// Plain driver for the extract fuzz target: replays seeds made here (valid,
// cut, damaged and garbage payloads) and any input files named on the command
// line. With --write-seeds DIR it writes the seeds there as a starting corpus.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/archive_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> MakeSeeds()
{
    const std::string archive = kArchiveHeader + DirEntry(".") + DirEntry("./sub") +
                                FileEntry("./sub/a.txt", "alpha\r\nbeta\n") + FileEntry("./empty", "") +
                                FileEntry("./sub/noise", NoiseBytes(60000, 9));
    const std::string valid = Deflate(archive);
    std::string flipped = valid;
    flipped.back() ^= 0x01;
    return {
        valid,
        Deflate(archive, {0}),
        valid.substr(0, valid.size() / 2),
        valid.substr(0, valid.size() - 4),
        flipped,
        Deflate("Quarn\n"),
        Deflate("Quarn\nf\n-1\nneg\n"),
        Deflate("Quarn\nd\n../up\nf\n1\n/abs\nx"),
        Deflate("Quarn\nf\n99999999999\nbig\n"),
        NoiseBytes(3000, 10),
        "",
    };
}

bool ReadInput(const char* path, std::string* bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> seeds = MakeSeeds();
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
        for (size_t i = 0; i < seeds.size(); ++i) {
            std::ofstream out(std::string(argv[2]) + "/seed-" + std::to_string(i), std::ios::binary);
            out << seeds[i];
        }
        return 0;
    }

    int replayed = 0;
    for (const std::string& seed : seeds) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
        ++replayed;
    }
    for (int i = 1; i < argc; ++i) {
        std::string bytes;
        if (!ReadInput(argv[i], &bytes)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++replayed;
    }
    std::printf("%d inputs replayed\n", replayed);
    return 0;
}
