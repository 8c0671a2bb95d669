// Fuzz target: the bounded copy and appends. Input: an op byte, two capacity
// bytes (-30..300, or INT_MIN), the length of the string already in the
// buffer, a fill byte for the rest of the buffer, then that string and the
// text. The buffer is an allocation of exactly capacity bytes, so ASan
// reports any write at or past its end; the text sits in one of its exact
// length too.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shortcut/path_helpers.h"

namespace {

#define CHECK(condition) \
    ((condition) ? (void)0 : (std::fprintf(stderr, "path fuzzer: %s\n", #condition), std::abort()))

// The bytes in a heap block of exactly their size.
char* Allocate(const std::string& bytes)
{
    char* block = static_cast<char*>(std::malloc(bytes.size()));
    std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    const int op = data[0] % 3;
    const unsigned raw = data[1] | data[2] << 8;
    const int capacity = raw == 0xFFFF ? INT_MIN : static_cast<int>(raw % 331) - 30;
    const size_t prefixBytes = std::min<size_t>(data[3], size - 5);
    const char fill = static_cast<char>(data[4]);
    const std::string prefixField(reinterpret_cast<const char*>(data + 5), prefixBytes);
    const std::string textField(reinterpret_cast<const char*>(data + 5 + prefixBytes), size - 5 - prefixBytes);
    char* text = Allocate(textField + '\0');
    const std::string textString = text;

    if (op == 0) {
        const std::string before(capacity < 1 ? data[3] % 16 + 1 : capacity, fill);
        char* dest = Allocate(before);
        if (capacity < 1) {
            CHECK(CopyBounded(dest, text, capacity) == nullptr);
            CHECK(std::memcmp(dest, before.data(), before.size()) == 0);
        } else {
            CHECK(CopyBounded(dest, text, capacity) == dest);
            // What fits of the text, then zero bytes to the end of the buffer.
            const size_t kept = std::min(textString.size(), static_cast<size_t>(capacity - 1));
            CHECK(std::memcmp(dest, text, kept) == 0);
            CHECK(std::all_of(dest + kept, dest + capacity, [](char c) { return c == '\0'; }));
        }
        std::free(dest);
    } else {
        // The string already there: at most capacity - 1 bytes, as appends
        // require; with no room at all the buffer just holds it.
        std::string prefix = prefixField.c_str();
        if (capacity >= 1 && prefix.size() > static_cast<size_t>(capacity - 1))
            prefix.resize(static_cast<size_t>(capacity - 1));
        std::string before = prefix + '\0';
        if (capacity > static_cast<int>(before.size()))
            before.resize(static_cast<size_t>(capacity), fill);
        char* buffer = Allocate(before);
        if (op == 1)
            AppendBounded(buffer, capacity, text);
        else
            AppendPathComponent(buffer, capacity, text);
        if (capacity < 1) {
            CHECK(std::memcmp(buffer, before.data(), before.size()) == 0);
        } else {
            CHECK(std::memchr(buffer, '\0', static_cast<size_t>(capacity)) != nullptr);
            std::string expected = prefix + (op == 2 ? "\\" : "") + textString;
            expected.resize(std::min(expected.size(), static_cast<size_t>(capacity - 1)));
            CHECK(buffer == expected);
        }
        std::free(buffer);
    }
    std::free(text);
    return 0;
}

// Copies with no room, one byte, exact and ample room; appends to empty,
// full and nearly full buffers, to strings ending in a backslash, and with
// the most negative capacity.
std::vector<std::string> FuzzSeeds()
{
    const auto input = [](char op, int capacity, const std::string& prefix, const std::string& text) {
        const unsigned raw = capacity == INT_MIN ? 0xFFFF : static_cast<unsigned>(capacity + 30);
        return std::string{op, char(raw & 0xFF), char(raw >> 8), char(prefix.size()), '#'} + prefix + text;
    };
    std::vector<std::string> seeds;
    for (int capacity : {INT_MIN, -5, 0, 1, 3, 4, 10, 261})
        seeds.push_back(input(0, capacity, "", "abc"));
    for (const char* prefix : {"C:\\A", "", "C:\\A\\", "1234567", "123456"})
        seeds.push_back(input(2, 8, prefix, "B"));
    for (char op : {1, 2})
        seeds.push_back(input(op, INT_MIN, "abc", "xyz"));
    seeds.push_back(input(1, 260, std::string(200, 'p'), std::string(100, 't')));
    seeds.push_back(input(1, 300, "", std::string(400, 'x')));
    return seeds;
}
