// Bounded copies and appends, and making one folder from a '/' path.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "shortcut/path_helpers.h"
#include "tests/extraction_fixture.h"

TEST(CopyBounded, WithoutRoomReturnsNullAndWritesNothing)
{
    for (int capacity : {0, -5}) {
        char dest[4] = {'k', 'e', 'e', 'p'};
        EXPECT_EQ(CopyBounded(dest, "abc", capacity), nullptr);
        EXPECT_EQ(std::memcmp(dest, "keep", 4), 0);
    }
}

TEST(CopyBounded, CutsToCapacityAndAlwaysTerminates)
{
    struct Case {
        int capacity;
        const char* expected;
    };
    for (const Case& c : {Case{1, ""}, Case{3, "ab"}, Case{4, "abc"}, Case{10, "abc"}}) {
        char dest[12];
        std::memset(dest, '#', sizeof dest);
        EXPECT_EQ(CopyBounded(dest, "abc", c.capacity), dest);
        EXPECT_STREQ(dest, c.expected) << "capacity " << c.capacity;
        // Zero bytes fill the rest of the capacity; nothing beyond it changes.
        for (int i = static_cast<int>(std::strlen(c.expected)); i < c.capacity; ++i)
            EXPECT_EQ(dest[i], '\0') << "capacity " << c.capacity << " byte " << i;
        for (int i = c.capacity; i < static_cast<int>(sizeof dest); ++i)
            EXPECT_EQ(dest[i], '#') << "capacity " << c.capacity << " byte " << i;
    }
}

namespace {

std::string Appended(const std::string& start, int capacity, const char* component)
{
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    std::strcpy(buffer, start.c_str());
    AppendPathComponent(buffer, capacity, component);
    EXPECT_EQ(buffer[capacity], '#') << "wrote past the capacity";
    return buffer;
}

}  // namespace

TEST(AppendPathComponent, AlwaysAddsOneBackslashThenTheComponent)
{
    EXPECT_EQ(Appended("C:\\A", 32, "B"), "C:\\A\\B");
    EXPECT_EQ(Appended("", 32, "B"), "\\B");
    EXPECT_EQ(Appended("C:\\A\\", 32, "B"), "C:\\A\\\\B");
}

TEST(AppendPathComponent, CutsAtTheCapacity)
{
    EXPECT_EQ(Appended("C:\\ABCD", 8, "B"), "C:\\ABCD");    // capacity - 1 bytes: unchanged
    EXPECT_EQ(Appended("C:\\ABC", 8, "B"), "C:\\ABC\\");    // capacity - 2 bytes: the backslash alone
    EXPECT_EQ(Appended("C:\\A", 8, "Bcdef"), "C:\\A\\Bc");  // component cut
}

TEST(AppendBounded, CutsTheTextAtTheCapacity)
{
    char buffer[8] = "ab";
    AppendBounded(buffer, 6, "cdefgh");
    EXPECT_STREQ(buffer, "abcde");
}

class CreateOneFolderTest : public ExtractionTest {};

TEST_F(CreateOneFolderTest, MakesOneLevelUnderAnExistingParent)
{
    ASSERT_EQ(mkdir("a", 0700), 0);
    ASSERT_EQ(mkdir("a/b", 0700), 0);
    char path[] = "a/b/c";
    EXPECT_EQ(CreateOneFolder(path), kPlatformDone);
    EXPECT_TRUE(IsFolder("a/b/c"));
    EXPECT_STREQ(path, "a/b/c");
    EXPECT_EQ(CreateOneFolder(path), kPlatformFailed);
    EXPECT_STREQ(path, "a/b/c");
}

TEST_F(CreateOneFolderTest, MissingParentFailsAndMakesNothing)
{
    EXPECT_EQ(CreateOneFolder("x/y"), kPlatformFailed);
    EXPECT_FALSE(PathExists("x"));
}
