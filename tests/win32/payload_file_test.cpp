// The payload that follows the image, read from its file window by window:
// no byte of a window reaches the reader unless the window's digest matches
// the record's.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/payload_file.h"

namespace {

constexpr int kShift = 12;  // windows of 4096 bytes
constexpr int kImageBytes = 100;
// Three windows: 4096 bytes of 0, 4096 of 1, the last 100 of 2, and the
// SHA-256 of each (Python's hashlib).
const std::string kPayload = std::string(4096, '\0') + std::string(4096, '\1') + std::string(100, '\2');
const char* const kDigests[] = {"ad7facb2586fc6e966c004d7d1d16b024f5805ff7cb47c7a85dabd8b48892ca7",
                                "3431383721510cf1c211de027cf958c183e16db5fabb6b230eb284c85e196aa9",
                                "a602b7a20e4bfa29f01e08439a888cf02df13fcf45f8257ad5c392bcc5996f92"};

std::vector<unsigned char> Digests()
{
    std::vector<unsigned char> bytes;
    for (const char* hex : kDigests) {
        for (int i = 0; i < 64; i += 2)
            bytes.push_back(static_cast<unsigned char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return bytes;
}

std::wstring WriteFile(const std::string& name, const std::string& bytes)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + std::wstring(name.begin(), name.end());
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD wrote = 0;
    EXPECT_TRUE(file != INVALID_HANDLE_VALUE && ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                            &wrote, nullptr));
    CloseHandle(file);
    return path;
}

}  // namespace

TEST(PayloadFile, HandsOutTheWindowsBeforeTheFirstThatDoesNotMatch)
{
    const std::vector<unsigned char> digests = Digests();
    const AppendedPayload record{kImageBytes, kPayload.size(), digests.data()};
    // The payload's byte changed, and how far the reader gets.
    const struct {
        int changed;
        int64_t handedOut;
    } rows[] = {{-1, 8292}, {0, 0}, {5000, 4096}, {8291, 8192}};
    for (const auto& row : rows) {
        std::string payload = kPayload;
        if (row.changed >= 0)
            payload[static_cast<size_t>(row.changed)] ^= 0x40;
        const std::wstring path = WriteFile("payload-file-test.bin", std::string(kImageBytes, 'i') + payload);
        PayloadFile file;
        ASSERT_TRUE(OpenPayloadFile(&file, path.c_str(), record, kShift));
        int64_t offset = 0;
        int64_t available = 0;
        while (const unsigned char* bytes = ReadPayloadWindow(&file, offset, &available)) {
            ASSERT_GE(available, 1);
            EXPECT_EQ(std::memcmp(bytes, kPayload.data() + offset, static_cast<size_t>(available)), 0)
                << "bytes at " << offset << " not the payload's";
            offset += available;
        }
        EXPECT_EQ(offset, row.handedOut) << "byte " << row.changed << " changed";
        ClosePayloadFile(&file);
        DeleteFileW(path.c_str());
    }
}
