// What the extractor does when the machine fails it: a disk that fills in
// the middle of a file, a file it may not replace, a folder path taken by a
// file, and a payload source that breaks off. Each run must end with its
// stop reason and leave what was already written as it was.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "payload/archive_extractor.h"
#include "tests/archive_builder.h"
#include "tests/extraction_fixture.h"

namespace {

// Marks path immutable, which even root cannot open for writing, or takes
// its write permission for other users. False when neither holds.
bool MakeUnwritable(const std::string& path)
{
    if (geteuid() != 0)
        return chmod(path.c_str(), 0444) == 0;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    close(fd);
    return done;
}

void MakeWritableAgain(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    close(fd);
    chmod(path.c_str(), 0644);
}

// Hands out a payload in 1000-byte slices and fails with -1 once failAt
// bytes are out.
struct BreakingSource {
    std::string payload;
    size_t failAt;
    size_t consumed = 0;
};

int ReadBreaking(void* context, unsigned char* buffer, int capacity)
{
    auto* source = static_cast<BreakingSource*>(context);
    if (source->consumed >= source->failAt)
        return -1;
    size_t n = std::min({static_cast<size_t>(capacity), size_t{1000}, source->failAt - source->consumed,
                         source->payload.size() - source->consumed});
    std::memcpy(buffer, source->payload.data() + source->consumed, n);
    source->consumed += n;
    return static_cast<int>(n);
}

class FaultInjectionTest : public ExtractionTest {};

}  // namespace

TEST_F(FaultInjectionTest, DiskThatFillsInsideAFileIsAnExtractionErrorAndKeepsEarlierFiles)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    ASSERT_EQ(mkdir("small", 0700), 0);
    if (mount("tmpfs", "small", "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    const std::string first = NoiseBytes(100000, 1);
    const char* reason = Extract(Deflate(kArchiveHeader + FileEntry("small/first", first) +
                                         FileEntry("small/second", NoiseBytes(400000, 2)) +
                                         FileEntry("small/never", "x")));
    std::string kept = ReadWholeFile("small/first");
    bool neverMade = !PathExists("small/never");
    ASSERT_EQ(umount("small"), 0);
    EXPECT_STREQ(reason, "extraction error");
    EXPECT_TRUE(kept == first) << "the file written before the disk filled changed";
    EXPECT_TRUE(neverMade);
}

TEST_F(FaultInjectionTest, FileThatMayNotBeReplacedCannotBeOpenedAndIsKept)
{
    WriteWholeFile("locked", "the user's own");
    if (!MakeUnwritable("locked"))
        GTEST_SKIP() << "cannot make a file unwritable here";
    const char* reason = Extract(Deflate(kArchiveHeader + FileEntry("before", "b") + FileEntry("locked", "new") +
                                         FileEntry("after", "a")));
    MakeWritableAgain("locked");
    EXPECT_STREQ(reason, "can't open file for writing");
    EXPECT_EQ(ReadWholeFile("locked"), "the user's own");
    EXPECT_EQ(ReadWholeFile("before"), "b");
    EXPECT_FALSE(PathExists("after"));
}

TEST_F(FaultInjectionTest, FolderPathTakenByAFileStopsAtItsFirstFile)
{
    WriteWholeFile("data", "a plain file");
    EXPECT_STREQ(Extract(Deflate(kArchiveHeader + FileEntry("kept", "k") + DirEntry("data") +
                                 FileEntry("data/level1", "x"))),
                 "can't open file for writing");
    EXPECT_EQ(ReadWholeFile("data"), "a plain file");
    EXPECT_EQ(ReadWholeFile("kept"), "k");
}

TEST_F(FaultInjectionTest, PayloadSourceThatBreaksOffStopsTheRun)
{
    const std::string body = NoiseBytes(60000, 3);
    const std::string payload =
        Deflate(kArchiveHeader + FileEntry("whole", "complete") + FileEntry("cut", body) + FileEntry("later", "l"));
    // Inside the second body: its file is cut short and the run stops.
    BreakingSource inBody{payload, payload.size() / 2};
    EXPECT_STREQ(ExtractArchiveFrom(ReadBreaking, &inBody), "extraction error");
    EXPECT_EQ(ReadWholeFile("whole"), "complete");
    EXPECT_LT(ReadWholeFile("cut").size(), body.size());
    EXPECT_FALSE(PathExists("later"));

    // Before the first byte: the header cannot be read.
    BreakingSource atOnce{payload, 0};
    EXPECT_STREQ(ExtractArchiveFrom(ReadBreaking, &atOnce), "not a quarn file (1)");
}
