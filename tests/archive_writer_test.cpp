// Tests of the archive writer and the folder packer: the bytes they put into
// the zlib stream, their order, and what a pack refuses.
#include "tools/archive_writer.h"
#include "tools/folder_packer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/archive_builder.h"

namespace {

// Plain zlib's inflate, the installer's, of a stream of at most capacity bytes.
std::string Inflate(const std::string& compressed, size_t capacity = 1 << 20)
{
    std::string out(capacity, '\0');
    uLongf size = out.size();
    int result = uncompress(reinterpret_cast<Bytef*>(&out[0]), &size,
                            reinterpret_cast<const Bytef*>(compressed.data()), compressed.size());
    EXPECT_EQ(result, Z_OK);
    out.resize(result == Z_OK ? size : 0);
    return out;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& body)
{
    std::ofstream(path, std::ios::binary) << body;
}

class PackTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/archive_writer_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        tree = root + "/tree";
        payload = root + "/out.qua";
        ASSERT_EQ(mkdir(tree.c_str(), 0777), 0);
    }
    void TearDown() override { std::filesystem::remove_all(root); }

    std::string root;
    std::string tree;
    std::string payload;
};

std::string Text(const ArchiveWriter& writer)
{
    return std::string(reinterpret_cast<const char*>(writer.bytes), writer.size);
}

std::string Bytes(const CompressedArchive& compressed)
{
    return std::string(reinterpret_cast<const char*>(compressed.bytes), compressed.size);
}

TEST(ArchiveWriter, EntriesMakeTheArchiveLayout)
{
    ArchiveWriter writer{};
    EXPECT_EQ(StartArchive(&writer, 0), 0);
    EXPECT_EQ(WriteFolderEntry(&writer, "./sub"), 0);
    EXPECT_EQ(WriteFileHeader(&writer, "./sub/a b", 3), 0);
    EXPECT_EQ(WriteArchiveBytes(&writer, "x\ny", 3), 0);
    EXPECT_EQ(WriteFileHeader(&writer, "./e", 0), 0);
    EXPECT_EQ(Text(writer), "Quarn\nd\n./sub\nf\n3\n./sub/a b\nx\nyf\n0\n./e\n");
    EXPECT_EQ(writer.size, 6 + FolderEntryBytes("./sub") + FileEntryBytes("./sub/a b", 3) + FileEntryBytes("./e", 0));

    CompressedArchive compressed{};
    EXPECT_EQ(CompressArchive(&writer, 6, nullptr, nullptr, &compressed), 0);
    EXPECT_EQ(Inflate(Bytes(compressed)), Text(writer));
    FreeCompressed(&compressed);
    EndArchiveWriter(&writer);
}

// Texts of several megabytes, whose deflate blocks and matches span
// the 32 KiB window many times over, at every level.
TEST(ArchiveWriter, CompressedTextInflatesWithZlibToExactlyTheTextAtEveryLevel)
{
    std::string lines;
    for (int i = 0; lines.size() < 3000000; ++i)
        lines += "level " + std::to_string(i % 977) + " row\r\n";
    for (int level = 0; level <= kMaxCompressionLevel; ++level) {
        SCOPED_TRACE(level);
        ArchiveWriter writer{};
        ASSERT_EQ(StartArchive(&writer, 16), 0);  // grows as it goes
        WriteFolderEntry(&writer, "./data");
        WriteFileHeader(&writer, "./data/noise", 1000000);
        WriteArchiveBytes(&writer, NoiseBytes(1000000, level).data(), 1000000);
        WriteFileHeader(&writer, "./data/lines.txt", static_cast<int64_t>(lines.size()));
        WriteArchiveBytes(&writer, lines.data(), lines.size());
        WriteFileHeader(&writer, "./data/zeros", 2000000);
        EXPECT_EQ(WriteArchiveBytes(&writer, std::string(2000000, '\0').data(), 2000000), 0);

        CompressedArchive compressed{};
        ASSERT_EQ(CompressArchive(&writer, level, nullptr, nullptr, &compressed), 0);
        EXPECT_EQ(Inflate(Bytes(compressed), writer.size + 1), Text(writer));
        FreeCompressed(&compressed);
        EndArchiveWriter(&writer);
    }
}

TEST(ArchiveWriter, BadLevelIsRefusedBeforeAnythingIsCompressed)
{
    for (int level : {-1, 13}) {
        ArchiveWriter writer{};
        ASSERT_EQ(StartArchive(&writer, 0), 0);
        CompressedArchive compressed{};
        EXPECT_EQ(CompressArchive(&writer, level, nullptr, nullptr, &compressed), -1);
        EXPECT_STREQ(writer.errorText, "bad compression level");
        EXPECT_EQ(compressed.bytes, nullptr);
        EXPECT_EQ(WriteFolderEntry(&writer, "./x"), -1);
        EndArchiveWriter(&writer);
    }
}

PackOptions AtLevel(int level)
{
    PackOptions options;
    options.level = level;
    return options;
}

TEST_F(PackTest, FolderPacksParentsFirstFilesBeforeSubfoldersInByteOrder)
{
    mkdir((tree + "/b").c_str(), 0777);
    mkdir((tree + "/b/inner").c_str(), 0777);
    mkdir((tree + "/A").c_str(), 0777);
    mkdir((tree + "/caf\xC3\xA9").c_str(), 0777);
    WriteFile(tree + "/z", "zz");
    WriteFile(tree + "/Y", "");
    WriteFile(tree + "/b/inner/deep", "d");
    WriteFile(tree + "/b/file", "f\r\n");

    PackError error;
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), PackOptions{}, &error)) << error.text;
    EXPECT_EQ(Inflate(ReadFile(payload)),
              "Quarn\n"
              "d\n.\n"
              "f\n0\n./Y\n"
              "f\n2\n./z\nzz"
              "d\n./A\n"
              "d\n./b\n"
              "f\n3\n./b/file\nf\r\n"
              "d\n./b/inner\n"
              "f\n1\n./b/inner/deep\nd"
              "d\n./caf\xE9\n");
}

TEST_F(PackTest, NamesShapedLikeShortNamesComeFirstInTheirFolder)
{
    for (const char* name : {"abcdefgh.txt", "abcdef~1.txt", "AB12~10", "ab~1.text", "b~1.c.d"})
        WriteFile(tree + "/" + name, "");
    mkdir((tree + "/LONGFO~1").c_str(), 0777);
    PackError error;
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), PackOptions{}, &error)) << error.text;
    EXPECT_EQ(Inflate(ReadFile(payload)), "Quarn\nd\n.\nf\n0\n./AB12~10\nf\n0\n./abcdef~1.txt\nd\n./LONGFO~1\n"
                                          "f\n0\n./abcdefgh.txt\nf\n0\n./ab~1.text\nf\n0\n./b~1.c.d\n");
}

TEST_F(PackTest, LevelSetsTheZlibHeader)
{
    WriteFile(tree + "/a", std::string(1000, 'a'));
    PackError error;
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), AtLevel(1), &error));
    EXPECT_EQ(ReadFile(payload).substr(0, 2), "\x78\x01");
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), AtLevel(9), &error));
    EXPECT_EQ(ReadFile(payload).substr(0, 2), "\x78\xDA");
}

struct ProgressSeen {
    uint64_t calls = 0;
    uint64_t lastDone = 0;
    uint64_t total = 0;
};

TEST_F(PackTest, ProgressClimbsToTheTotalOfFileBytes)
{
    WriteFile(tree + "/big", std::string(200000, 'b'));
    WriteFile(tree + "/small", "s");
    ProgressSeen seen;
    PackOptions options = AtLevel(1);
    options.context = &seen;
    options.progress = [](void* context, const PackStatus& status) {
        ProgressSeen* s = static_cast<ProgressSeen*>(context);
        if (status.stage != PackStage::Packing)
            return;
        EXPECT_GE(status.done, s->lastDone);
        s->calls++;
        s->lastDone = status.done;
        s->total = status.total;
    };
    PackError error;
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), options, &error));
    EXPECT_GT(seen.calls, 2u);
    EXPECT_EQ(seen.total, 200001u);
    EXPECT_EQ(seen.lastDone, 200001u);
}

TEST_F(PackTest, RefusalNamesThePathAndLeavesNothing)
{
    WriteFile(payload, "older payload");
    WriteFile(tree + "/ok", "fine");
    WriteFile(tree + "/a|b", "bad");
    PackError error;
    EXPECT_FALSE(PackFolder(tree.c_str(), payload.c_str(), PackOptions{}, &error));
    EXPECT_EQ(error.path, tree + "/a|b");
    EXPECT_EQ(ReadFile(payload), "older payload");
    int items = 0;
    for (const auto& item : std::filesystem::directory_iterator(root)) {
        (void)item;
        ++items;
    }
    EXPECT_EQ(items, 2);  // tree and the untouched payload
}

// Over the limit at the last chunk, in the middle of the stream with a
// chunk already in the file, and at level 0, where the size is known first.
TEST_F(PackTest, PayloadOverTheLimitIsRefusedAndNothingIsWritten)
{
    struct Row {
        size_t noise;
        int level;
        uint64_t limit;
    };
    for (const Row& row : {Row{5000, 12, 4000}, Row{9 << 20, 12, 5 << 20}, Row{9 << 20, 0, 5 << 20}}) {
        SCOPED_TRACE(row.noise);
        WriteFile(payload, "older payload");
        WriteFile(tree + "/noise", NoiseBytes(row.noise, 1));
        PackOptions options = AtLevel(row.level);
        options.maxPayloadBytes = row.limit;
        PackError error;
        EXPECT_FALSE(PackFolder(tree.c_str(), payload.c_str(), options, &error));
        EXPECT_EQ(error.path, payload);
        EXPECT_EQ(error.text, "payload would be over the " + std::to_string(row.limit) +
                                  " bytes that setup.exe can hold");
        EXPECT_EQ(ReadFile(payload), "older payload");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), std::filesystem::directory_iterator()), 2);
    }
    WriteFile(tree + "/noise", NoiseBytes(5000, 1));
    PackOptions options;
    options.maxPayloadBytes = 6000;
    PackError error;
    EXPECT_TRUE(PackFolder(tree.c_str(), payload.c_str(), options, &error)) << error.text;
}

}  // namespace
