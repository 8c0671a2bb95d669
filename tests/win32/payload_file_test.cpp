// The payload that follows the image, read from its file window by window:
// no byte of a window reaches the reader unless its digest matches.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/payload_file.h"

TEST(PayloadFile, HandsOutTheWindowsBeforeTheFirstThatDoesNotMatch)
{
    // Windows of 4096 bytes after 100 bytes of image: 4096 bytes of 0, 4096
    // of 1, the last 100 of 2, and their SHA-256 (from Python's hashlib).
    const std::string payload = std::string(4096, '\0') + std::string(4096, '\1') + std::string(100, '\2');
    const std::string hex = "ad7facb2586fc6e966c004d7d1d16b024f5805ff7cb47c7a85dabd8b48892ca7"
                            "3431383721510cf1c211de027cf958c183e16db5fabb6b230eb284c85e196aa9"
                            "a602b7a20e4bfa29f01e08439a888cf02df13fcf45f8257ad5c392bcc5996f92";
    std::vector<unsigned char> digests;
    for (size_t i = 0; i < hex.size(); i += 2)
        digests.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    lstrcatW(path, L"payload-file-test.bin");
    // The byte changed, and how far the reader gets.
    const struct {
        int changed;
        int64_t handedOut;
    } rows[] = {{-1, 8292}, {0, 0}, {5000, 4096}, {8291, 8192}};
    for (const auto& row : rows) {
        std::string file = std::string(100, 'i') + payload;
        if (row.changed >= 0)
            file[100 + static_cast<size_t>(row.changed)] ^= 0x40;
        HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD wrote = 0;
        ASSERT_TRUE(WriteFile(out, file.data(), static_cast<DWORD>(file.size()), &wrote, nullptr));
        CloseHandle(out);
        PayloadFile opened;
        ASSERT_TRUE(OpenPayloadFile(&opened, path, {100, payload.size(), digests.data()}, 12));
        int64_t offset = 0;
        int64_t available = 0;
        while (const unsigned char* bytes = ReadPayloadWindow(&opened, offset, &available)) {
            ASSERT_GE(available, 1);
            EXPECT_EQ(std::memcmp(bytes, payload.data() + offset, static_cast<size_t>(available)), 0) << offset;
            offset += available;
        }
        EXPECT_EQ(offset, row.handedOut) << "byte " << row.changed << " changed";
        ClosePayloadFile(&opened);
    }
    DeleteFileW(path);
}
