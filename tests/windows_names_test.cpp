// Tests of the Windows-1252 conversion of names, both ways.
#include "tools/windows_names.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string ToCp1252(const std::string& utf8)
{
    std::string out;
    return Utf8ToCp1252(utf8, &out) ? out : "<refused>";
}

TEST(Cp1252Names, AsciiAndLatin1PassAndHighRangeUsesTheTable)
{
    EXPECT_EQ(ToCp1252("plain.txt"), "plain.txt");
    EXPECT_EQ(ToCp1252("donn\xC3\xA9" "es"), "donn\xE9" "es");
    EXPECT_EQ(ToCp1252("\xC2\xA0"), "\xA0");
    EXPECT_EQ(ToCp1252("\xC3\xBF"), "\xFF");
    EXPECT_EQ(ToCp1252("\xE2\x82\xAC"), "\x80");  // euro sign
    EXPECT_EQ(ToCp1252("\xC5\xB8"), "\x9F");      // Y with diaeresis
    EXPECT_EQ(ToCp1252("\xE2\x84\xA2"), "\x99");  // trade mark sign
}

TEST(Cp1252Names, EveryDefinedByteRoundTrips)
{
    for (int byte = 1; byte < 256; ++byte) {
        std::string one(1, static_cast<char>(byte));
        std::string utf8 = Cp1252ToUtf8(one);
        if (byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D) {
            EXPECT_EQ(utf8, "?") << byte;
            continue;
        }
        EXPECT_EQ(ToCp1252(utf8), one) << byte;
    }
}

TEST(Cp1252Names, RefusesWhatTheCodePageLacksAndBrokenUtf8)
{
    EXPECT_EQ(ToCp1252("\xC2\x80"), "<refused>");          // U+0080 is not the euro sign
    EXPECT_EQ(ToCp1252("\xC2\x81"), "<refused>");          // C1 control
    EXPECT_EQ(ToCp1252("\xC4\x80"), "<refused>");          // A with macron
    EXPECT_EQ(ToCp1252("\xE6\x97\xA5"), "<refused>");      // CJK
    EXPECT_EQ(ToCp1252("\xF0\x9F\x8E\xB2"), "<refused>");  // four-byte form
    EXPECT_EQ(ToCp1252("\xE9"), "<refused>");              // Latin-1 byte, not UTF-8
    EXPECT_EQ(ToCp1252("\x80"), "<refused>");              // lone continuation
    EXPECT_EQ(ToCp1252("a\xC3"), "<refused>");             // cut short
    EXPECT_EQ(ToCp1252("\xC3\x28"), "<refused>");          // bad continuation
    EXPECT_EQ(ToCp1252("\xC0\xAF"), "<refused>");          // overlong '/'
    EXPECT_EQ(ToCp1252("\xE0\x80\xAE"), "<refused>");      // overlong '.'
    EXPECT_EQ(ToCp1252("\xED\xA0\x80"), "<refused>");      // surrogate
    EXPECT_EQ(ToCp1252("\xFF"), "<refused>");
}

}  // namespace

namespace {

TEST(NameEncodings, Utf8NamesPassWholeAndCountAsWindowsCountsThem)
{
    std::string name;
    ASSERT_TRUE(EncodeName("\xE8\xAA\xAC\xE6\x98\x8E \xF0\x9D\x84\x9E.txt", NameEncoding::kUtf8, &name));
    EXPECT_EQ(name, "\xE8\xAA\xAC\xE6\x98\x8E \xF0\x9D\x84\x9E.txt");
    // Two CJK characters, a space, U+1D11E (a surrogate pair) and ".txt".
    EXPECT_EQ(Utf16Units(name, NameEncoding::kUtf8), 9u);
    EXPECT_EQ(Utf16Units("donn\xE9" "es", NameEncoding::kWindows1252), 7u);
    EXPECT_FALSE(EncodeName("latin1-\xE9", NameEncoding::kUtf8, &name));
    EXPECT_FALSE(EncodeName("\xED\xA0\x80", NameEncoding::kUtf8, &name));
}

TEST(NameEncodings, CaseFoldsEveryScriptButLeavesCharactersBeyondTheBmp)
{
    // Greek delta, Cyrillic zhe, e acute; Deseret long I (U+10400/U+10428)
    // is not folded by Windows.
    EXPECT_EQ(FoldCase("\xCE\xB4\xD0\xB6\xC3\xA9x", NameEncoding::kUtf8), "\xCE\x94\xD0\x96\xC3\x89X");
    EXPECT_EQ(FoldCase("\xF0\x90\x90\xA8", NameEncoding::kUtf8), "\xF0\x90\x90\xA8");
    EXPECT_EQ(FoldCase("\xE9", NameEncoding::kWindows1252), "\xC9");
}

TEST(NameEncodings, DecodingRefusesWhatSetupRefuses)
{
    std::string utf8;
    EXPECT_TRUE(DecodeName("donn\xE9" "es", NameEncoding::kWindows1252, &utf8));
    EXPECT_EQ(utf8, "donn\xC3\xA9" "es");
    EXPECT_FALSE(DecodeName("a\x81", NameEncoding::kWindows1252, &utf8));
    EXPECT_FALSE(DecodeName("a\xE9", NameEncoding::kUtf8, &utf8));
    EXPECT_EQ(ShowName("a\xE9", NameEncoding::kUtf8), "a?");
}

}  // namespace

namespace {

TEST(WindowsNames, DeviceNamesWithSpacesSuperscriptsOrConsoleBuffersAreRefused)
{
    for (const char* name : {"nul .txt", "CON  .ini", "COM\xB9", "lpt\xC2\xB3.log", "CONIN$", "conout$.txt"})
        EXPECT_NE(WindowsNameProblem(name), nullptr) << name;
    for (const char* name : {"console.txt", "COM10", "COM\xB9x", "nul-x.txt"})
        EXPECT_EQ(WindowsNameProblem(name), nullptr) << name;
}

}  // namespace
