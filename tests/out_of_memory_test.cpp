// A reader that cannot be allocated. The test executable replaces the
// non-throwing operator new so that it can be made to fail on demand; when not
// told to fail it forwards to the ordinary one, so the sanitizers still see
// matching new and delete.
#include <atomic>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "payload/archive_extractor.h"
#include "payload/progress_window.h"
#include "tests/archive_builder.h"
#include "tests/extraction_fixture.h"

namespace {
std::atomic<bool> g_failNothrowNew{false};
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (g_failNothrowNew.load())
        return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* pointer, const std::nothrow_t&) noexcept { ::operator delete(pointer); }

class OutOfMemoryTest : public ExtractionTest {
protected:
    void TearDown() override
    {
        g_failNothrowNew.store(false);
        ExtractionTest::TearDown();
    }
};

TEST_F(OutOfMemoryTest, MissingReaderStopsTheRunAndStillEndsTheDialog)
{
    const std::string payload = Deflate(kArchiveHeader + FileEntry("f", "x"));
    g_failNothrowNew.store(true);
    const char* reason = Extract(payload);
    g_failNothrowNew.store(false);

    EXPECT_STREQ(reason, "out of memory");
    EXPECT_FALSE(PathExists("f"));
    ASSERT_EQ(messages.size(), 1u);  // no payload read, so no progress either
    EXPECT_EQ(messages[0].message, WM_EXTRACT_DONE);
    EXPECT_EQ(messages[0].window, kTestDialog);
    EXPECT_STREQ(messages[0].stopReasonAtSend, "out of memory");
}
