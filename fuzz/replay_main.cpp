// Plain driver for a fuzz target, for builds without libFuzzer: replays the
// target's seeds (made in code by its FuzzSeeds) and any input files named
// on the command line. With --write-seeds DIR it writes the seeds there as a
// starting corpus.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
std::vector<std::string> FuzzSeeds();

int main(int argc, char** argv)
{
    const std::vector<std::string> seeds = FuzzSeeds();
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
        for (size_t i = 0; i < seeds.size(); ++i) {
            std::ofstream out(std::string(argv[2]) + "/seed-" + std::to_string(i), std::ios::binary);
            out << seeds[i];
            if (!out) {
                std::fprintf(stderr, "cannot write seeds to %s\n", argv[2]);
                return 1;
            }
        }
        return 0;
    }

    std::vector<std::string> inputs = seeds;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const std::string& input : inputs)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
