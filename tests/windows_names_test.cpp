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
