// Whole extraction runs over in-memory payloads: what lands on disk, the stop
// reason of every way a run can end, and the messages the dialog gets.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/archive_extractor.h"
#include "payload/payload_view.h"
#include "payload/progress_window.h"
#include "tests/archive_builder.h"
#include "tests/extraction_fixture.h"

namespace {

void ClearCurrentFolder()
{
    for (const auto& entry : std::filesystem::directory_iterator("."))
        std::filesystem::remove_all(entry.path());
}

bool CurrentFolderIsEmpty() { return std::filesystem::is_empty("."); }

}  // namespace

class ExtractArchiveTest : public ExtractionTest {
protected:
    // Every run ends with exactly one WM_EXTRACT_DONE, last, to the dialog,
    // with the stop reason already readable; the bar only climbs to 100.
    void ExpectOneDoneMessageCarrying(const char* reason)
    {
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(CountMessages(WM_EXTRACT_DONE), 1);
        const SentMessage& last = messages.back();
        EXPECT_EQ(last.message, WM_EXTRACT_DONE);
        EXPECT_EQ(last.window, kTestDialog);
        EXPECT_EQ(last.wParam, 0u);
        EXPECT_EQ(last.lParam, 0);
        EXPECT_EQ(last.stopReasonAtSend, reason);
        std::vector<int> positions = ProgressPositions();
        EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
        for (int position : positions) {
            EXPECT_GE(position, 0);
            EXPECT_LE(position, 100);
        }
    }
};

TEST_F(ExtractArchiveTest, UnpacksFoldersAndFilesByteForByte)
{
    const std::string binary = std::string("line\r\nnul\0cr\r", 13) + NoiseBytes(500, 1);
    const std::string big = NoiseBytes(120000, 2);
    const std::string archive = kArchiveHeader + DirEntry(".") + DirEntry("./sub") + DirEntry("./sub/deeper") +
                                FileEntry("./top.txt", "hello\n") + FileEntry("./sub/binary.bin", binary) +
                                FileEntry("./sub/deeper/empty", "") + FileEntry("./sub/big.dat", big);

    EXPECT_EQ(Extract(Deflate(archive)), nullptr);

    EXPECT_EQ(ReadWholeFile("top.txt"), "hello\n");
    EXPECT_EQ(ReadWholeFile("sub/binary.bin"), binary);
    EXPECT_TRUE(PathExists("sub/deeper/empty"));
    EXPECT_EQ(ReadWholeFile("sub/deeper/empty"), "");
    EXPECT_EQ(ReadWholeFile("sub/big.dat"), big);
    ExpectOneDoneMessageCarrying(nullptr);
    EXPECT_EQ(ProgressPositions().back(), 100);
}

TEST_F(ExtractArchiveTest, HeaderOnlyArchiveEndsCleanlyWritingNothing)
{
    EXPECT_EQ(Extract(Deflate("Quarn\n")), nullptr);
    EXPECT_TRUE(CurrentFolderIsEmpty());
    ExpectOneDoneMessageCarrying(nullptr);
}

TEST_F(ExtractArchiveTest, HeaderMayEndInCarriageReturnLineFeed)
{
    EXPECT_EQ(Extract(Deflate("Quarn\r\n" + FileEntry("a", "1"))), nullptr);
    EXPECT_EQ(ReadWholeFile("a"), "1");
}

TEST_F(ExtractArchiveTest, ReadsStreamsFromAnyZlibWriter)
{
    const std::string archive = kArchiveHeader + DirEntry("d") + FileEntry("d/noise", NoiseBytes(70000, 3)) +
                                FileEntry("d/text", std::string(30000, 't'));
    std::vector<std::pair<std::string, std::string>> payloads;
    for (int level = 0; level <= 9; ++level)
        payloads.emplace_back("level " + std::to_string(level), Deflate(archive, {level}));
    payloads.emplace_back("512-byte window", Deflate(archive, {9, 9, 1}));
    payloads.emplace_back("huffman only", Deflate(archive, {6, 15, 8, Z_HUFFMAN_ONLY}));
    payloads.emplace_back("run lengths", Deflate(archive, {6, 15, 8, Z_RLE}));
    payloads.emplace_back("fixed codes", Deflate(archive, {6, 15, 8, Z_FIXED}));
    payloads.emplace_back("full flushes", Deflate(archive, {6, 15, 8, Z_DEFAULT_STRATEGY, nullptr, 997}));
    payloads.emplace_back("bytes after the stream", Deflate(archive) + "trailing junk");

    for (const auto& [name, payload] : payloads) {
        SCOPED_TRACE(name);
        ClearCurrentFolder();
        EXPECT_EQ(Extract(payload), nullptr);
        EXPECT_EQ(ReadWholeFile("d/noise"), NoiseBytes(70000, 3));
        EXPECT_EQ(ReadWholeFile("d/text"), std::string(30000, 't'));
    }
}

TEST_F(ExtractArchiveTest, StreamsThatAreNotPlainZlibStopAtTheHeader)
{
    const std::string archive = kArchiveHeader + FileEntry("a", "x");
    const std::string dictionary = "Quarn\nf\n";
    const std::pair<const char*, std::string> payloads[] = {
        {"preset dictionary", Deflate(archive, {6, 15, 8, Z_DEFAULT_STRATEGY, &dictionary})},
        {"raw deflate", Deflate(archive, {6, -15})},
        {"gzip", Deflate(archive, {6, 31})},
        {"not compressed", archive},
        {"one byte", "x"},
    };
    for (const auto& [name, payload] : payloads) {
        SCOPED_TRACE(name);
        EXPECT_STREQ(Extract(payload), "not a quarn file (1)");
        EXPECT_TRUE(CurrentFolderIsEmpty());
        ExpectOneDoneMessageCarrying(LastExtractStopReason());
    }
}

TEST_F(ExtractArchiveTest, EachMalformedArchiveStopsWithItsReason)
{
    struct Case {
        std::string archive;
        const char* reason;
    };
    const Case cases[] = {
        {"", "not a quarn file (1)"},
        {"Quarn", "not a quarn file (1)"},
        {"quarn\n", "not a quarn file (2)"},
        {"Quarnx\n", "not a quarn file (2)"},
        {" Quarn\n", "not a quarn file (2)"},
        {"Quarn\nd\n", "can't read dir name"},
        {"Quarn\nd\nsub", "can't read dir name"},
        {"Quarn\nf\n", "can't read file size"},
        {"Quarn\nf\n3", "can't read file size"},
        {"Quarn\nf\n3\n", "can't read file name"},
        {"Quarn\nf\n3\nname", "can't read file name"},
        {"Quarn\nf\n3\nmissing/x\nabc", "can't open file for writing"},
        {"Quarn\nf\n3\n\nabc", "can't open file for writing"},
        {"Quarn\nf\n10\nshort\nabc", "extraction error"},
        {"Quarn\nf\n2147483648\nhuge\n", "extraction error"},
        {"Quarn\nf\n-2147483649\nhuge\n", "extraction error"},
        {"Quarn\nD\nx\n", "[unrecognized archive entry!]"},
        {"Quarn\nd  \nx\n", "[unrecognized archive entry!]"},
        {"Quarn\nF\n1\nx\ny", "[unrecognized archive entry!]"},
        {"Quarn\n\n", "[unrecognized archive entry!]"},
        {"Quarn\nd", "[unrecognized archive entry!]"},
        {"Quarn\nf\n1\na\nbtail", "[unrecognized archive entry!]"},
        {"Quarn\n" + std::string(4999, 'd') + "\n", "[unrecognized archive entry!]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.archive.substr(0, 40)));
        ClearCurrentFolder();
        EXPECT_STREQ(Extract(Deflate(c.archive)), c.reason);
        ExpectOneDoneMessageCarrying(LastExtractStopReason());
    }
}

TEST_F(ExtractArchiveTest, NothingIsWrittenBeforeTheHeaderIsChecked)
{
    EXPECT_STREQ(Extract(Deflate("quarn\n" + DirEntry("d") + FileEntry("f", "x"))), "not a quarn file (2)");
    EXPECT_TRUE(CurrentFolderIsEmpty());
}

TEST_F(ExtractArchiveTest, BodyCutShortKeepsTheBytesThatCame)
{
    EXPECT_STREQ(Extract(Deflate("Quarn\nf\n10\npart\nabcd")), "extraction error");
    EXPECT_EQ(ReadWholeFile("part"), "abcd");
}

TEST_F(ExtractArchiveTest, PayloadCutInsideABodyIsAnExtractionError)
{
    const std::string body = NoiseBytes(40000, 4);
    const std::string payload = Deflate(kArchiveHeader + FileEntry("cut", body) + FileEntry("later", "x"), {0});
    EXPECT_STREQ(Extract(payload.substr(0, 20000)), "extraction error");
    const std::string written = ReadWholeFile("cut");
    EXPECT_GT(written.size(), 0u);
    EXPECT_EQ(written, body.substr(0, written.size()));
    EXPECT_FALSE(PathExists("later"));
}

TEST_F(ExtractArchiveTest, DamageFoundBetweenEntriesIsNotTheNormalEnd)
{
    const std::string payload = Deflate(kArchiveHeader + FileEntry("whole", "complete"));

    // The trailer missing: the stream cannot end.
    EXPECT_STREQ(Extract(payload.substr(0, payload.size() - 4)), "uncrusher jammed");
    EXPECT_EQ(ReadWholeFile("whole"), "complete");
    ExpectOneDoneMessageCarrying(LastExtractStopReason());

    // The checksum wrong: the failure comes with the last byte of the folder
    // line, and shows when the next kind line is read.
    std::string flipped = Deflate(kArchiveHeader + DirEntry("tail"));
    flipped.back() ^= 0x40;
    EXPECT_STREQ(Extract(flipped), "uncrusher jammed");
    EXPECT_TRUE(IsFolder("tail"));
}

TEST_F(ExtractArchiveTest, DamagedChecksumInTheLastBodyIsAnExtractionError)
{
    std::string payload = Deflate(kArchiveHeader + FileEntry("last", "body"));
    payload.back() ^= 0x40;
    EXPECT_STREQ(Extract(payload), "extraction error");
    EXPECT_EQ(ReadWholeFile("last"), "body");
}

TEST_F(ExtractArchiveTest, SizeLineIsReadLikeANumberPrefix)
{
    const std::string archive = "Quarn\n"
                                "f\n  +3\nspaced\nabc"
                                "f\n4 bytes\nsuffixed\nwxyz"
                                "f\nnone\nno-digits\n"
                                "f\n0\nzero\n"
                                "f\n2147483647\nstill-going\n";
    EXPECT_STREQ(Extract(Deflate(archive)), "extraction error");
    EXPECT_EQ(ReadWholeFile("spaced"), "abc");
    EXPECT_EQ(ReadWholeFile("suffixed"), "wxyz");
    EXPECT_TRUE(PathExists("no-digits"));
    EXPECT_EQ(ReadWholeFile("no-digits"), "");
    EXPECT_TRUE(PathExists("zero"));
    EXPECT_TRUE(PathExists("still-going"));
}

TEST_F(ExtractArchiveTest, NegativeSizeLeavesAnEmptyFileAndStops)
{
    EXPECT_STREQ(Extract(Deflate("Quarn\nf\n-1\nneg\n" + FileEntry("after", "x"))), "extraction error");
    EXPECT_TRUE(PathExists("neg"));
    EXPECT_EQ(ReadWholeFile("neg"), "");
    EXPECT_FALSE(PathExists("after"));
}

TEST(ParseEntrySize, AcceptsExactlyTheSignedThirtyTwoBitRange)
{
    int size = 12345;
    EXPECT_TRUE(ParseEntrySize("2147483647\n", &size));
    EXPECT_EQ(size, INT32_MAX);
    EXPECT_TRUE(ParseEntrySize("-2147483648\n", &size));
    EXPECT_EQ(size, INT32_MIN);
    EXPECT_TRUE(ParseEntrySize("\t-0\n", &size));
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(ParseEntrySize("+\n", &size));
    EXPECT_EQ(size, 0);

    size = 12345;
    EXPECT_FALSE(ParseEntrySize("2147483648\n", &size));
    EXPECT_FALSE(ParseEntrySize("-2147483649\n", &size));
    EXPECT_FALSE(ParseEntrySize("99999999999999999999999999999\n", &size));
    EXPECT_EQ(size, 12345);
}

TEST_F(ExtractArchiveTest, ExistingFileIsOverwrittenAndExistingFolderKept)
{
    ASSERT_EQ(mkdir("keep", 0700), 0);
    WriteWholeFile("keep/file", "a much longer old content");
    WriteWholeFile("keep/untouched", "old");
    EXPECT_EQ(Extract(Deflate(kArchiveHeader + DirEntry("keep") + FileEntry("keep/file", "new"))), nullptr);
    EXPECT_EQ(ReadWholeFile("keep/file"), "new");
    EXPECT_EQ(ReadWholeFile("keep/untouched"), "old");
}

TEST_F(ExtractArchiveTest, FolderThatCannotBeMadeShowsUpAtItsFirstFile)
{
    EXPECT_STREQ(Extract(Deflate(kArchiveHeader + DirEntry("no/parent") + FileEntry("no/parent/f", "x"))),
                 "can't open file for writing");
    EXPECT_TRUE(CurrentFolderIsEmpty());
}

TEST(IsUnsafeArchivePath, RefusesAbsolutePathsAndParentComponents)
{
    for (const char* path : {"/etc/x", "\\x", "C:x", "c:\\x", "z:", "..", "../x", "a/..", "a/../b", "a\\..\\b",
                             "..\\x", "a/b\\..", "./../x"}) {
        EXPECT_TRUE(IsUnsafeArchivePath(path)) << path;
    }
    for (const char* path : {".", "./a", "a", "...", "..a", "a..", "a/.../b", "a/.b/..c", "1:x", "ab:c", ""}) {
        EXPECT_FALSE(IsUnsafeArchivePath(path)) << path;
    }
}

TEST_F(ExtractArchiveTest, UnsafePathsStopTheRunBeforeTheirEntryMakesAnything)
{
    const std::string outside = OuterFolder() + "/escaped";
    for (const std::string& path : {outside, std::string("../escaped"), std::string("sub/../../escaped"),
                                    std::string("sub/.."), std::string("..\\escaped"), std::string("C:escaped")}) {
        SCOPED_TRACE(path);
        ClearCurrentFolder();
        EXPECT_STREQ(Extract(Deflate(kArchiveHeader + DirEntry("sub") + FileEntry(path, "x"))),
                     "unsafe path in archive");
        EXPECT_STREQ(Extract(Deflate(kArchiveHeader + DirEntry("sub") + DirEntry(path))), "unsafe path in archive");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), std::filesystem::directory_iterator()), 1);
        EXPECT_TRUE(IsFolder("sub"));
        ExpectOneDoneMessageCarrying(LastExtractStopReason());
    }
    // The fixture checks that the folder above holds nothing new.
}

TEST_F(ExtractArchiveTest, DotFolderEntriesAreSkipped)
{
    EXPECT_EQ(Extract(Deflate(kArchiveHeader + DirEntry(".") + DirEntry("..") + FileEntry("after", "x"))), nullptr);
    EXPECT_EQ(ReadWholeFile("after"), "x");
}

TEST_F(ExtractArchiveTest, FileThatCannotBeWrittenOrClosedIsAnExtractionError)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(symlink("/dev/full", "full"), 0);
    // Small enough to sit in the stream's buffer until fclose flushes it.
    EXPECT_STREQ(Extract(Deflate(kArchiveHeader + FileEntry("full", "tiny"))), "extraction error");
    EXPECT_STREQ(Extract(Deflate(kArchiveHeader + FileEntry("full", NoiseBytes(100000, 5)))), "extraction error");
}

TEST_F(ExtractArchiveTest, RunsAgainFromTheFirstByte)
{
    EXPECT_EQ(Extract(Deflate(kArchiveHeader + FileEntry("again", "1"))), nullptr);
    ASSERT_EQ(g_payloadView.consumed, g_payloadView.size);
    std::filesystem::remove("again");
    messages.clear();
    EXPECT_EQ(ExtractArchive(nullptr), 0);
    EXPECT_EQ(LastExtractStopReason(), nullptr);
    EXPECT_EQ(ReadWholeFile("again"), "1");
}

TEST_F(ExtractArchiveTest, CleanRunClearsTheStopReasonOfTheRunBefore)
{
    EXPECT_STREQ(Extract(Deflate("Quarn\nx\n")), "[unrecognized archive entry!]");
    EXPECT_EQ(Extract(Deflate("Quarn\n")), nullptr);
    ExpectOneDoneMessageCarrying(nullptr);
}

TEST_F(ExtractArchiveTest, WithoutADialogNothingIsSentAtTheEnd)
{
    g_progressDialog.store(nullptr);
    EXPECT_STREQ(Extract(Deflate("Quarn\nx\n")), "[unrecognized archive entry!]");
    EXPECT_EQ(CountMessages(WM_EXTRACT_DONE), 0);
    EXPECT_GT(CountMessages(kProgressSetPos), 0);
}

TEST_F(ExtractArchiveTest, StopRequestedBeforeTheRunEndsItAfterTheHeader)
{
    RequestExtractStop();
    EXPECT_STREQ(Extract(Deflate(kArchiveHeader + FileEntry("f", "x"))), "cancelled");
    EXPECT_TRUE(CurrentFolderIsEmpty());
    ExpectOneDoneMessageCarrying(LastExtractStopReason());
}

TEST_F(ExtractArchiveTest, StopRequestedDuringABodyEndsTheRunAtTheNextBlock)
{
    const std::string body = NoiseBytes(400000, 6);
    const std::string payload = Deflate(kArchiveHeader + FileEntry("big", body) + FileEntry("after", "x"), {0});
    stopOnProgressMessage = 3;  // the header took the first slice; the body is under way
    EXPECT_STREQ(Extract(payload), "cancelled");
    const std::string written = ReadWholeFile("big");
    EXPECT_GT(written.size(), 0u);
    EXPECT_LE(written.size(), static_cast<size_t>(kBlockSize));
    EXPECT_EQ(written, body.substr(0, written.size()));
    EXPECT_FALSE(PathExists("after"));
    EXPECT_LE(CountMessages(kProgressSetPos), 3 + kBlockSize / kInputBufferSize);
    ExpectOneDoneMessageCarrying(LastExtractStopReason());
}
