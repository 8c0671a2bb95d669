// Tests of the archive writer and the folder packer: the bytes they put into
// the zlib stream, and their order.
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

namespace {

std::string Inflate(const std::string& compressed)
{
    std::string out(1 << 20, '\0');
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

TEST_F(PackTest, WriterEntriesInflateToTheArchiveLayout)
{
    FILE* out = std::fopen(payload.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::unique_ptr<ArchiveWriter> writer(new ArchiveWriter());
    EXPECT_EQ(StartArchive(writer.get(), out, 6), 0);
    EXPECT_EQ(WriteFolderEntry(writer.get(), "./sub"), 0);
    EXPECT_EQ(WriteFileHeader(writer.get(), "./sub/a b", 3), 0);
    EXPECT_EQ(WriteArchiveBytes(writer.get(), "x\ny", 3), 0);
    EXPECT_EQ(WriteFileHeader(writer.get(), "./e", 0), 0);
    EXPECT_EQ(FinishArchive(writer.get()), 0);
    EndArchiveWriter(writer.get());
    std::fclose(out);

    std::string compressed = ReadFile(payload);
    EXPECT_EQ(writer->compressedBytes, compressed.size());
    EXPECT_EQ(Inflate(compressed), "Quarn\nd\n./sub\nf\n3\n./sub/a b\nx\nyf\n0\n./e\n");
}

TEST_F(PackTest, BadLevelIsRefusedBeforeAnythingIsWritten)
{
    ArchiveWriter writer;
    EXPECT_EQ(StartArchive(&writer, stdout, 10), -1);
    EXPECT_STREQ(writer.errorText, "bad compression level");
    EXPECT_EQ(WriteFolderEntry(&writer, "./x"), -1);
    EndArchiveWriter(&writer);
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
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), 9, nullptr, nullptr, nullptr, &error)) << error.text;
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

TEST_F(PackTest, LevelSetsTheZlibHeader)
{
    WriteFile(tree + "/a", std::string(1000, 'a'));
    PackError error;
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), 1, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(ReadFile(payload).substr(0, 2), "\x78\x01");
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), 9, nullptr, nullptr, nullptr, &error));
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
    PackProgress record = [](void* context, uint64_t done, uint64_t total) {
        ProgressSeen* s = static_cast<ProgressSeen*>(context);
        EXPECT_GE(done, s->lastDone);
        s->calls++;
        s->lastDone = done;
        s->total = total;
    };
    PackError error;
    ASSERT_TRUE(PackFolder(tree.c_str(), payload.c_str(), 1, nullptr, record, &seen, &error));
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
    EXPECT_FALSE(PackFolder(tree.c_str(), payload.c_str(), 9, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(error.path, tree + "/a|b");
    EXPECT_EQ(ReadFile(payload), "older payload");
    int items = 0;
    for (const auto& item : std::filesystem::directory_iterator(root)) {
        (void)item;
        ++items;
    }
    EXPECT_EQ(items, 2);  // tree and the untouched payload
}

}  // namespace
