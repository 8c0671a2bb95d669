// Names in the installer's encoding (Windows-1252 or UTF-8) and Windows'
// rules for names.
#include "tools/windows_names.h"

#include <locale.h>
#include <wctype.h>

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

// Decodes the code point at *p (before end) and moves *p past it. False for
// bytes that are not UTF-8: overlong forms, surrogates, values beyond
// U+10FFFF, cut or broken sequences.
static bool NextCodePoint(const unsigned char** p, const unsigned char* end, uint32_t* codePoint)
{
    const unsigned char* at = *p;
    int extra;
    uint32_t least;
    if (*at < 0x80) {
        *codePoint = *at;
        extra = 0;
        least = 0;
    } else if ((*at & 0xE0) == 0xC0) {
        *codePoint = *at & 0x1F;
        extra = 1;
        least = 0x80;
    } else if ((*at & 0xF0) == 0xE0) {
        *codePoint = *at & 0x0F;
        extra = 2;
        least = 0x800;
    } else if ((*at & 0xF8) == 0xF0) {
        *codePoint = *at & 0x07;
        extra = 3;
        least = 0x10000;
    } else {
        return false;
    }
    if (end - at <= extra)
        return false;
    for (int i = 1; i <= extra; ++i) {
        if ((at[i] & 0xC0) != 0x80)
            return false;
        *codePoint = (*codePoint << 6) | (at[i] & 0x3F);
    }
    if (*codePoint < least || *codePoint > 0x10FFFF || (*codePoint >= 0xD800 && *codePoint <= 0xDFFF))
        return false;
    *p = at + extra + 1;
    return true;
}

// Calls visit(code point) for each character of a UTF-8 name; false when
// the bytes are not UTF-8 or visit refuses one.
template <typename Visit>
static bool EachCodePoint(const std::string& utf8, Visit visit)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* end = p + utf8.size();
    while (p < end) {
        uint32_t codePoint;
        if (!NextCodePoint(&p, end, &codePoint) || !visit(codePoint))
            return false;
    }
    return true;
}

bool Utf8ToCp1252(const std::string& utf8, std::string* cp1252)
{
    std::string result;
    bool converted = EachCodePoint(utf8, [&result](uint32_t codePoint) {
        int byte = Cp1252Byte(codePoint);
        result.push_back(static_cast<char>(byte));
        return byte >= 0;
    });
    if (converted)
        *cp1252 = result;
    return converted;
}

static void AppendUtf8(std::string* out, uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// The code point of a Windows-1252 byte, 0 for the five it leaves undefined.
static uint32_t Cp1252CodePoint(unsigned char byte)
{
    return byte >= 0x80 && byte <= 0x9F ? kCp1252High[byte - 0x80] : byte;
}

std::string Cp1252ToUtf8(const std::string& cp1252)
{
    std::string result;
    for (unsigned char byte : cp1252) {
        uint32_t codePoint = Cp1252CodePoint(byte);
        AppendUtf8(&result, codePoint != 0 ? codePoint : '?');
    }
    return result;
}

bool ParseNameEncoding(const std::string& text, NameEncoding* encoding)
{
    std::string lower;
    for (char c : text)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (lower == "windows-1252")
        *encoding = NameEncoding::kWindows1252;
    else if (lower == "utf-8")
        *encoding = NameEncoding::kUtf8;
    else
        return false;
    return true;
}

const char* NameEncodingName(NameEncoding encoding)
{
    return encoding == NameEncoding::kUtf8 ? "UTF-8" : "Windows-1252";
}

bool EncodeName(const std::string& utf8, NameEncoding encoding, std::string* name)
{
    if (encoding == NameEncoding::kWindows1252)
        return Utf8ToCp1252(utf8, name);
    if (!EachCodePoint(utf8, [](uint32_t) { return true; }))
        return false;
    *name = utf8;
    return true;
}

std::string EncodingProblem(NameEncoding encoding)
{
    if (encoding == NameEncoding::kUtf8)
        return "is not UTF-8";
    return std::string("is not UTF-8 or holds a character ") + NameEncodingName(encoding) + " lacks";
}

bool DecodeName(const std::string& name, NameEncoding encoding, std::string* utf8)
{
    if (encoding == NameEncoding::kUtf8)
        return EncodeName(name, encoding, utf8);
    std::string result;
    for (unsigned char byte : name) {
        uint32_t codePoint = Cp1252CodePoint(byte);
        if (codePoint == 0 && byte != 0)
            return false;
        AppendUtf8(&result, codePoint);
    }
    *utf8 = result;
    return true;
}

std::string ShowName(const std::string& name, NameEncoding encoding)
{
    if (encoding == NameEncoding::kWindows1252)
        return Cp1252ToUtf8(name);
    std::string shown;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name.data());
    const unsigned char* end = p + name.size();
    while (p < end) {
        uint32_t codePoint;
        if (NextCodePoint(&p, end, &codePoint)) {
            AppendUtf8(&shown, codePoint);
        } else {
            shown.push_back('?');
            ++p;
        }
    }
    return shown;
}

size_t Utf16Units(const std::string& name, NameEncoding encoding)
{
    if (encoding == NameEncoding::kWindows1252)
        return name.size();
    size_t units = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name.data());
    const unsigned char* end = p + name.size();
    while (p < end) {
        uint32_t codePoint = 0;
        if (!NextCodePoint(&p, end, &codePoint))
            ++p;
        units += codePoint >= 0x10000 ? 2 : 1;
    }
    return units;
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
    // Windows reads the part before the first dot, less trailing spaces, as
    // the device; the superscript digits one to three count as digits.
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    // Windows-1252's and UTF-8's forms of the superscripts, and their digits.
    static const char* const kSuperscripts[][2] = {{"\xB9", "1"},     {"\xB2", "2"},     {"\xB3", "3"},
                                                   {"\xC2\xB9", "1"}, {"\xC2\xB2", "2"}, {"\xC2\xB3", "3"}};
    for (const auto& superscript : kSuperscripts) {
        if (stem.size() > 3 && stem.compare(3, std::string::npos, superscript[0]) == 0)
            stem = stem.substr(0, 3) + superscript[1];
    }
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                           "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5",
                                           "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (stem == device)
            return "name is a Windows device name";
    }
    return nullptr;
}

// Windows compares names by upper-casing each UTF-16 unit with its own
// table, the simple upper-case mapping of the characters in the Basic
// Multilingual Plane as of its Unicode version. glibc's C.UTF-8 locale has a
// newer one, which can only make two names count as one where Windows would
// not (a refusal, never a name lost). Without it nothing is folded right, so
// a pack in UTF-8 is refused (CanFoldCase).
static locale_t Utf8Locale()
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return utf8;
}

static uint32_t UpperCase(uint32_t codePoint)
{
    if (codePoint >= 0x10000 || Utf8Locale() == static_cast<locale_t>(0))
        return codePoint;
    return static_cast<uint32_t>(towupper_l(static_cast<wint_t>(codePoint), Utf8Locale()));
}

bool CanFoldCase(NameEncoding encoding)
{
    return encoding != NameEncoding::kUtf8 || Utf8Locale() != static_cast<locale_t>(0);
}

std::string FoldCase(const std::string& name, NameEncoding encoding)
{
    if (encoding == NameEncoding::kUtf8) {
        std::string folded;
        bool valid = EachCodePoint(name, [&folded](uint32_t codePoint) {
            AppendUtf8(&folded, UpperCase(codePoint));
            return true;
        });
        return valid ? folded : name;
    }
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
