// Windows-1252 names and Windows' rules for names.
#include "tools/windows_names.h"

#include <cctype>
#include <cstdint>
#include <cstring>

// Unicode code points of bytes 0x80..0x9F; 0 where the code page has none.
// A table rather than glibc's iconv: for the five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) Windows' MultiByteToWideChar gives
// U+0081 etc. one to one, while iconv fails both ways and so ends the whole
// conversion. Here the choice for them is made in one place: a name holding
// one of those C1 controls is refused, and a listed byte shows as '?'.
static const uint16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

// The byte for a code point, or -1 when Windows-1252 has none.
static int Cp1252Byte(uint32_t codePoint)
{
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return static_cast<int>(codePoint);
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] != 0 && kCp1252High[i] == codePoint)
            return 0x80 + i;
    }
    return -1;
}

bool Utf8ToCp1252(const std::string& utf8, std::string* cp1252)
{
    std::string result;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* end = p + utf8.size();
    while (p < end) {
        uint32_t codePoint;
        int extra;
        uint32_t least;
        if (*p < 0x80) {
            codePoint = *p;
            extra = 0;
            least = 0;
        } else if ((*p & 0xE0) == 0xC0) {
            codePoint = *p & 0x1F;
            extra = 1;
            least = 0x80;
        } else if ((*p & 0xF0) == 0xE0) {
            codePoint = *p & 0x0F;
            extra = 2;
            least = 0x800;
        } else if ((*p & 0xF8) == 0xF0) {
            codePoint = *p & 0x07;
            extra = 3;
            least = 0x10000;
        } else {
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (p[i] & 0x3F);
        }
        if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        int byte = Cp1252Byte(codePoint);
        if (byte < 0)
            return false;
        result.push_back(static_cast<char>(byte));
        p += extra + 1;
    }
    *cp1252 = result;
    return true;
}

static void AppendUtf8(std::string* out, uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::string Cp1252ToUtf8(const std::string& cp1252)
{
    std::string result;
    for (unsigned char byte : cp1252) {
        uint32_t codePoint = byte;
        if (byte >= 0x80 && byte <= 0x9F)
            codePoint = kCp1252High[byte - 0x80] != 0 ? kCp1252High[byte - 0x80] : '?';
        AppendUtf8(&result, codePoint);
    }
    return result;
}

// The installer hands names to the file system as they stand, so a name that
// Windows would change or read as a device must not get into an archive.
const char* WindowsNameProblem(const std::string& name)
{
    for (unsigned char byte : name) {
        if (byte == '\n' || byte == '\r')
            return "name holds a line feed or carriage return";
        if (byte < 0x20)
            return "name holds a control character";
        if (std::strchr("\\:*?\"<>|", byte) != nullptr)
            return "name holds a character Windows does not allow (\\ : * ? \" < > |)";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "name ends in a dot or space, which Windows drops";
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                           "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5",
                                           "LPT6", "LPT7", "LPT8", "LPT9"};
    for (const char* device : kDevices) {
        if (stem == device)
            return "name is a Windows device name";
    }
    return nullptr;
}

std::string FoldCase(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded) {
        unsigned char byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7))
            byte = static_cast<unsigned char>(byte - 0x20);
        else if (byte == 0x9A || byte == 0x9C || byte == 0x9E)
            byte = static_cast<unsigned char>(byte - 0x10);
        else if (byte == 0xFF)
            byte = 0x9F;
        c = static_cast<char>(byte);
    }
    return folded;
}
