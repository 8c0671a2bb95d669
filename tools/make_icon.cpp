// Writes the installer's icon file: a glass marble with an amber swirl, as a
// 32 x 32 16-colour image followed by a 48 x 48 256-colour image.
// Usage: make_icon OUT.ico
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& out, unsigned value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(Bytes& out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

struct Rgb {
    double r, g, b;
};

Rgb Mix(Rgb a, Rgb b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Colour at shade t (0 dark .. 1 bright) along a ramp through four stops.
Rgb Ramp(const Rgb (&stops)[4], double t)
{
    double x = t * 3.0;
    int i = x >= 3.0 ? 2 : static_cast<int>(x);
    return Mix(stops[i], stops[i + 1], x - i);
}

const Rgb kGlass[4] = {{10, 20, 70}, {30, 80, 190}, {110, 190, 250}, {255, 255, 255}};
const Rgb kSwirl[4] = {{80, 25, 0}, {190, 80, 10}, {250, 170, 40}, {255, 240, 190}};

// Palette index 0 is black (what transparent pixels hold); then glassCount
// glass shades, then the swirl shades up to colours - 1.
struct Palette {
    int colours;
    int glassCount;
};

int SwirlCount(const Palette& p)
{
    return p.colours - 1 - p.glassCount;
}

Bytes PaletteBytes(const Palette& p)
{
    Bytes out;
    auto add = [&out](Rgb c) {
        out.push_back(static_cast<uint8_t>(std::lround(c.b)));
        out.push_back(static_cast<uint8_t>(std::lround(c.g)));
        out.push_back(static_cast<uint8_t>(std::lround(c.r)));
        out.push_back(0);
    };
    add({0, 0, 0});
    for (int i = 0; i < p.glassCount; ++i)
        add(Ramp(kGlass, i / double(p.glassCount - 1)));
    for (int i = 0; i < SwirlCount(p); ++i)
        add(Ramp(kSwirl, i / double(SwirlCount(p) - 1)));
    return out;
}

// Palette index of pixel (x, y), counted from the top; -1 outside the marble.
int MarblePixel(int size, const Palette& p, int x, int y)
{
    double radius = size / 2.0 - 0.5;
    double nx = (x + 0.5 - size / 2.0) / radius;
    double ny = (y + 0.5 - size / 2.0) / radius;
    double d2 = nx * nx + ny * ny;
    if (d2 > 1.0)
        return -1;
    double nz = std::sqrt(1.0 - d2);
    // Light from the upper left, towards the viewer.
    const double lx = -0.45, ly = -0.55, lz = 0.70;
    double diffuse = std::fmax(0.0, nx * lx + ny * ly + nz * lz);
    double shade = 0.12 + 0.70 * diffuse;
    // Specular term from the half vector between the light and the viewer.
    double halfLength = std::sqrt(lx * lx + ly * ly + (lz + 1.0) * (lz + 1.0));
    double facing = (nx * lx + ny * ly + nz * (lz + 1.0)) / halfLength;
    double specular = std::pow(std::fmax(0.0, facing), 60.0);
    // Darker towards the outline so the edge reads on light backgrounds.
    shade = std::fmin(1.0, shade * (0.45 + 0.55 * std::pow(nz, 0.35)) + specular);
    // An S-shaped band across the face, as if seen through the glass.
    double band = ny - 0.35 * std::sin(nx * 3.2);
    bool swirl = std::fabs(band) < 0.17 && specular < 0.35;
    int count = swirl ? SwirlCount(p) : p.glassCount;
    int base = swirl ? 1 + p.glassCount : 1;
    return base + static_cast<int>(std::lround(shade * (count - 1)));
}

// One icon image: header, palette, XOR bitmap and AND mask, rows bottom-up.
Bytes IconImage(int size, int bits, const Palette& p)
{
    int xorStride = (size * bits / 8 + 3) & ~3;
    int andStride = ((size + 31) / 32) * 4;
    Bytes xorBits(size_t(xorStride) * size), andBits(size_t(andStride) * size);
    for (int y = 0; y < size; ++y) {
        int row = size - 1 - y;
        for (int x = 0; x < size; ++x) {
            int index = MarblePixel(size, p, x, y);
            if (index < 0) {
                andBits[row * andStride + x / 8] |= uint8_t(0x80 >> (x % 8));
                continue;
            }
            if (bits == 8)
                xorBits[row * xorStride + x] = uint8_t(index);
            else
                xorBits[row * xorStride + x / 2] |= uint8_t(x % 2 ? index : index << 4);
        }
    }
    Bytes out;
    Put32(out, 40);
    Put32(out, uint32_t(size));
    Put32(out, uint32_t(size * 2));
    Put16(out, 1);
    Put16(out, unsigned(bits));
    Put32(out, 0);
    Put32(out, uint32_t(xorBits.size() + andBits.size()));
    for (int i = 0; i < 4; ++i)
        Put32(out, 0);
    Bytes palette = PaletteBytes(p);
    out.insert(out.end(), palette.begin(), palette.end());
    out.insert(out.end(), xorBits.begin(), xorBits.end());
    out.insert(out.end(), andBits.begin(), andBits.end());
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icon OUT.ico\n");
        return 2;
    }
    struct Entry {
        int size, bits;
        Bytes image;
    } entries[2] = {{32, 4, IconImage(32, 4, {16, 10})}, {48, 8, IconImage(48, 8, {256, 170})}};

    Bytes file;
    Put16(file, 0);
    Put16(file, 1);
    Put16(file, 2);
    uint32_t offset = 6 + 2 * 16;
    for (const Entry& e : entries) {
        file.push_back(uint8_t(e.size));
        file.push_back(uint8_t(e.size));
        file.push_back(uint8_t(e.bits == 4 ? 16 : 0));
        file.push_back(0);
        Put16(file, 1);
        Put16(file, unsigned(e.bits));
        Put32(file, uint32_t(e.image.size()));
        Put32(file, offset);
        offset += uint32_t(e.image.size());
    }
    for (const Entry& e : entries)
        file.insert(file.end(), e.image.begin(), e.image.end());

    std::string out = argv[1];
    std::string tmp = out + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "make_icon: cannot create %s\n", tmp.c_str());
        return 1;
    }
    bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !written) {
        std::remove(tmp.c_str());
        std::fprintf(stderr, "make_icon: cannot write %s\n", tmp.c_str());
        return 1;
    }
    if (std::rename(tmp.c_str(), out.c_str()) != 0) {
        std::remove(tmp.c_str());
        std::fprintf(stderr, "make_icon: cannot rename %s to %s\n", tmp.c_str(), out.c_str());
        return 1;
    }
    return 0;
}
