// Payload slices and the progress percentage they report.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/payload_view.h"
#include "payload/progress_window.h"
#include "tests/archive_builder.h"
#include "tests/extraction_fixture.h"

TEST(PayloadPercent, TruncatesTowardZero)
{
    EXPECT_EQ(PayloadPercent(0, 1209595), 0);
    EXPECT_EQ(PayloadPercent(10000, 1209595), 0);
    EXPECT_EQ(PayloadPercent(1200000, 1209595), 99);
    EXPECT_EQ(PayloadPercent(1209595, 1209595), 100);
}

TEST(PayloadPercent, StaysWithinZeroToHundredPastTheThirtyTwoBitProductLimit)
{
    // consumed * 100 no longer fits in 32 bits from 21,474,837 on.
    EXPECT_EQ(PayloadPercent(21474836, 21474836), 100);
    EXPECT_EQ(PayloadPercent(21474837, 21474837), 100);
    EXPECT_EQ(PayloadPercent(21474837, 42949674), 50);
    EXPECT_EQ(PayloadPercent(INT32_MAX - 1, INT32_MAX), 99);
    EXPECT_EQ(PayloadPercent(INT32_MAX, INT32_MAX), 100);
    EXPECT_EQ(PayloadPercent(INT32_MAX / 2 + 1, INT32_MAX), 50);
}

TEST(PayloadPercent, EmptyPayloadIsZero) { EXPECT_EQ(PayloadPercent(0, 0), 0); }

// Found without a division: it must agree with one, for appended payloads
// up to 4 GiB too.
TEST(PayloadPercent, AgreesWithTheDivisionUpToFourGibibytes)
{
    const int64_t size = (int64_t{1} << 32) - 1;
    for (int64_t consumed = 0; consumed <= size; consumed += size / 997 + 1)
        EXPECT_EQ(PayloadPercent(consumed, size), consumed * 100 / size) << consumed;
    EXPECT_EQ(PayloadPercent(size - 1, size), 99);
    EXPECT_EQ(PayloadPercent(size, size), 100);
}

// A payload read through windows of a file: windows of 7 bytes, so slices
// span their edges, each handed out whole.
TEST(TakePayloadSlice, CopiesAcrossWindowEdgesAndStopsWhereNoWindowMaps)
{
    struct Windows {
        std::string bytes;
        int64_t mappable;  // windows map below this offset only
        static const unsigned char* Map(void* context, int64_t offset, int64_t* available)
        {
            auto* self = static_cast<Windows*>(context);
            if (offset >= self->mappable)
                return nullptr;
            const int64_t edge = (offset / 7 + 1) * 7;
            *available = std::min<int64_t>(edge, static_cast<int64_t>(self->bytes.size())) - offset;
            return reinterpret_cast<const unsigned char*>(self->bytes.data()) + offset;
        }
    };
    Windows windows{"abcdefghijklmnopqrstuvwxyz0123456789", 30};
    PayloadView view{nullptr, 36, 0, Windows::Map, &windows};
    unsigned char buffer[16];
    ASSERT_EQ(TakePayloadSlice(&view, buffer, 16), 16);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 16), "abcdefghijklmnop");
    ASSERT_EQ(TakePayloadSlice(&view, buffer, 10), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), "qrstuvwxyz");
    EXPECT_EQ(TakePayloadSlice(&view, buffer, 16), -1) << "offset 30 does not map";
    EXPECT_EQ(view.consumed, 26);
}

class ReadPayloadTest : public ExtractionTest {
protected:
    void View(const std::string& bytes)
    {
        bytes_ = bytes;
        g_payloadView = PayloadView{reinterpret_cast<const unsigned char*>(bytes_.data()),
                                    static_cast<int32_t>(bytes_.size()), 0};
    }
    std::string bytes_;
};

TEST_F(ReadPayloadTest, HandsOutSlicesThenTheRemainderThenNothing)
{
    const std::string bytes = NoiseBytes(25000, 7);
    View(bytes);
    std::vector<unsigned char> buffer(10000);
    std::string got;
    std::vector<int> counts;
    for (int call = 0; call < 5; ++call) {
        int n = ReadPayload(nullptr, buffer.data(), 10000);
        counts.push_back(n);
        got.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n > 0 ? n : 0));
    }
    EXPECT_EQ(counts, (std::vector<int>{10000, 10000, 5000, 0, 0}));
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(g_payloadView.consumed, 25000);
    EXPECT_EQ(ProgressPositions(), (std::vector<int>{40, 80, 100, 100, 100}));
    for (const SentMessage& sent : messages) {
        EXPECT_EQ(sent.window, kTestBar);
        EXPECT_EQ(sent.lParam, 0);
    }
}

TEST_F(ReadPayloadTest, InstallerSizedPayloadClimbsFromZeroToHundredIn121Slices)
{
    View(std::string(1209595, 'x'));
    std::vector<unsigned char> buffer(10000);
    int slices = 0;
    while (ReadPayload(nullptr, buffer.data(), 10000) > 0)
        ++slices;
    EXPECT_EQ(slices, 121);
    const std::vector<int> positions = ProgressPositions();
    ASSERT_EQ(positions.size(), 122u);
    EXPECT_EQ(positions[0], 0);  // 10000 of 1,209,595 bytes truncates to 0
    EXPECT_EQ(positions[119], 99);
    EXPECT_EQ(positions[120], 100);
    EXPECT_EQ(positions[121], 100);
}

TEST_F(ReadPayloadTest, WithoutABarCopiesAndCountsTheSameAndSendsNothing)
{
    g_progressBar.store(nullptr);
    View("0123456789");
    unsigned char buffer[4];
    ASSERT_EQ(ReadPayload(nullptr, buffer, 4), 4);
    EXPECT_EQ(std::memcmp(buffer, "0123", 4), 0);
    EXPECT_EQ(g_payloadView.consumed, 4);
    EXPECT_TRUE(messages.empty());
}

// The end of a view just under 2 GiB, reserved but never backed: only the
// pages read are touched, and they read as zeros.
TEST_F(ReadPayloadTest, NearlyTwoGibibytePayloadEndsAtHundredPercent)
{
    const size_t span = static_cast<size_t>(INT32_MAX);
    void* reserved = mmap(nullptr, span, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED)
        GTEST_SKIP() << "cannot reserve 2 GiB of address space";
    g_payloadView = PayloadView{static_cast<const unsigned char*>(reserved), INT32_MAX, INT32_MAX - 15000};

    std::vector<unsigned char> buffer(10000, 0xAA);
    EXPECT_EQ(ReadPayload(nullptr, buffer.data(), 10000), 10000);
    EXPECT_EQ(buffer[9999], 0);
    EXPECT_EQ(ReadPayload(nullptr, buffer.data(), 10000), 5000);
    EXPECT_EQ(ReadPayload(nullptr, buffer.data(), 10000), 0);
    EXPECT_EQ(g_payloadView.consumed, INT32_MAX);
    EXPECT_EQ(ProgressPositions(), (std::vector<int>{99, 100, 100}));
    munmap(reserved, span);
}
