// Regressions found by fuzzing the path helpers.
#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "shortcut/path_helpers.h"

// The room left was once formed as capacity minus the string's length, which
// overflowed for the most negative capacity and asked for a huge copy.
TEST(AppendBounded, MostNegativeCapacityWritesNothing)
{
    char buffer[8] = {'a', 'b', 'c', '\0', '#', '#', '#', '#'};
    AppendBounded(buffer, INT_MIN, "xyz");
    AppendPathComponent(buffer, INT_MIN, "xyz");
    EXPECT_EQ(std::memcmp(buffer, "abc\0####", 8), 0);
}
