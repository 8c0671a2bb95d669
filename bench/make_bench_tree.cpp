// Writes the benchmark's game-like tree, the same bytes on every run: level
// maps and scripts that compress well, textures and sounds that compress
// somewhat, and packed media that does not compress at all (about 90 MB in
// a few hundred files).
// Usage: make_bench_tree DIR
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

uint64_t g_state = 0x9E3779B97F4A7C15ull;

uint32_t Random()
{
    g_state ^= g_state << 13;
    g_state ^= g_state >> 7;
    g_state ^= g_state << 17;
    return static_cast<uint32_t>(g_state >> 32);
}

// Tile maps: long runs of a few tile kinds.
std::string LevelData(size_t size)
{
    std::string data;
    while (data.size() < size) {
        char tile = static_cast<char>("\0\1\2\3\20\21"[Random() % 6]);
        data.append(1 + Random() % 24, tile);
        if (Random() % 8 == 0)
            data.push_back(static_cast<char>(Random()));
    }
    data.resize(size);
    return data;
}

// Scripts and dialogue: words from a small vocabulary.
std::string TextData(size_t size)
{
    static const char* const kWords[] = {"marble", "roll", "ramp", "door", "key", "open", "score", "level", "bonus",
                                         "timer", "if", "then", "end", "say", "\"Well done!\"", "goto", "wait"};
    std::string data;
    while (data.size() < size) {
        data += kWords[Random() % (sizeof kWords / sizeof kWords[0])];
        data += Random() % 7 == 0 ? "\r\n" : " ";
    }
    data.resize(size);
    return data;
}

// 24-bit textures: smooth gradients with a little noise.
std::string TextureData(size_t size)
{
    std::string data(size, '\0');
    int width = 256;
    for (size_t i = 0; i + 2 < size; i += 3) {
        int x = static_cast<int>((i / 3) % width);
        int y = static_cast<int>((i / 3) / width);
        data[i] = static_cast<char>(x + (Random() & 3));
        data[i + 1] = static_cast<char>(y * 2 + (Random() & 3));
        data[i + 2] = static_cast<char>((x ^ y) + (Random() & 7));
    }
    return data;
}

// 16-bit sound: a few tones and some noise.
std::string SoundData(size_t size)
{
    std::string data(size, '\0');
    double f1 = 100 + Random() % 800;
    double f2 = 50 + Random() % 300;
    for (size_t i = 0; i + 1 < size; i += 2) {
        double t = static_cast<double>(i / 2) / 22050.0;
        int sample = static_cast<int>(9000 * std::sin(6.2832 * f1 * t) + 5000 * std::sin(6.2832 * f2 * t)) +
                     static_cast<int>(Random() % 512) - 256;
        data[i] = static_cast<char>(sample & 0xFF);
        data[i + 1] = static_cast<char>((sample >> 8) & 0xFF);
    }
    return data;
}

// Music and videos that are compressed already.
std::string PackedData(size_t size)
{
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(Random());
    return data;
}

struct Kind {
    const char* folder;
    const char* extension;
    int count;
    size_t minSize;
    size_t maxSize;
    std::string (*make)(size_t);
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_bench_tree DIR\n");
        return 2;
    }
    const std::string root = argv[1];
    const Kind kinds[] = {
        {"levels", ".map", 120, 20000, 400000, LevelData},
        {"scripts", ".txt", 80, 2000, 150000, TextData},
        {"textures", ".bmp", 60, 100000, 900000, TextureData},
        {"sounds", ".wav", 50, 50000, 800000, SoundData},
        {"music", ".ogg", 12, 500000, 2000000, PackedData},
    };
    mkdir(root.c_str(), 0777);
    mkdir((root + "/data").c_str(), 0777);
    size_t total = 0;
    int files = 0;
    for (const Kind& kind : kinds) {
        std::string folder = root + "/data/" + kind.folder;
        mkdir(folder.c_str(), 0777);
        for (int i = 0; i < kind.count; ++i) {
            // Every tenth file goes one level deeper, as packs of a chapter.
            std::string where = folder;
            if (i % 10 == 9) {
                where += "/chapter" + std::to_string(i / 10);
                mkdir(where.c_str(), 0777);
            }
            size_t size = kind.minSize + Random() % (kind.maxSize - kind.minSize);
            std::string body = kind.make(size);
            std::string path = where + "/" + kind.folder + std::to_string(i) + kind.extension;
            FILE* out = std::fopen(path.c_str(), "wb");
            if (out == nullptr || std::fwrite(body.data(), 1, body.size(), out) != body.size() ||
                std::fclose(out) != 0) {
                std::perror(path.c_str());
                return 1;
            }
            total += size;
            ++files;
        }
    }
    std::printf("%d files, %zu bytes\n", files, total);
    return 0;
}
