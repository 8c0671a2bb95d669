// The platform layer inside an install folder that another account changes
// while the install runs: Wine plays a junction with a Unix symbolic link,
// which a Windows program cannot make, so the test has /bin/sh make it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/platform_win32.h"
#include "tests/win32/build_names.h"

namespace {

using UnixName = char*(CDECL*)(const WCHAR*);

// The Unix path of a Windows path, through Wine's own export; empty off Wine.
std::string UnixPath(const std::wstring& path)
{
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
    std::string result = name != nullptr ? name : "";
    if (name != nullptr)
        HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a POSIX shell command beside this program, as the other account,
// and waits until it has done: Wine hands no handle back for a Unix
// program, so the command leaves a marker file, looked for by its Windows
// name. True when the command succeeded.
bool Shell(const std::string& command, const std::wstring& marker)
{
    std::string line = "Z:\\bin\\sh -c \"" + command + " && touch '" + UnixPath(marker.substr(0, marker.rfind(L'\\'))) +
                       "/" + std::string(marker.begin() + static_cast<long>(marker.rfind(L'\\')) + 1, marker.end()) + "'\"";
    std::wstring wide(line.begin(), line.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &wide[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    for (int i = 0; i < 1000 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(10);
    return DeleteFileW(marker.c_str()) != 0;
}

class InstallFolderLinks : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
        base_ = std::wstring(temp) + L"links-" + std::wstring(test.begin(), test.end());
        const std::wstring& base = base_;
        folder_ = base + L"\\install";
        CreateDirectoryW(base.c_str(), nullptr);
        CreateDirectoryW((base + L"\\system").c_str(), nullptr);
        CreateDirectoryW(folder_.c_str(), nullptr);
        system_ = UnixPath(base + L"\\system");
        if (system_.empty())
            GTEST_SKIP() << "needs Wine, to make a link";
        ASSERT_TRUE(SetCurrentDirectoryW(folder_.c_str()));
        install_ = UnixPath(folder_);
    }

    void TearDown() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        SetCurrentDirectoryW(temp);
    }

    std::wstring Marker() const { return base_ + L"\\done"; }

    // What the folder standing for a system folder holds, one name a line.
    std::string SystemFolder() const
    {
        std::string listing;
        WIN32_FIND_DATAW found;
        std::wstring pattern = base_ + L"\\system\\*";
        HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
            listing += Utf8(found.cFileName) + "\n";
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
        return listing;
    }

    std::wstring base_;
    std::wstring folder_;
    std::string system_;
    std::string install_;
};

}  // namespace

TEST_F(InstallFolderLinks, AFolderSwappedForALinkDuringTheRunGetsNothingThroughIt)
{
    ASSERT_EQ(CreateOneFolder("./d"), kPlatformDone);
    int result = kPlatformFailed;
    FILE* first = CreateNewFile("./d/a.txt", &result);
    ASSERT_NE(first, nullptr);
    std::fclose(first);
    const std::string before = SystemFolder();

    ASSERT_TRUE(Shell("mv '" + install_ + "/d' '" + install_ + "/d-away' && ln -s '" + system_ + "' '" + install_ +
                      "/d'", Marker()));
    FILE* second = CreateNewFile("./d/b.txt", &result);
    if (second != nullptr)
        std::fclose(second);

    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(result, kPlatformLinkInTheWay);
    EXPECT_EQ(CreateOneFolder("./d/sub"), kPlatformLinkInTheWay);
    EXPECT_EQ(SystemFolder(), before);
}

TEST_F(InstallFolderLinks, AFileLinkIsNeitherWrittenThroughNorRemovedWithItsTarget)
{
    ASSERT_TRUE(Shell("echo kept > '" + system_ + "/system.ini' && ln -s '" + system_ + "/system.ini' '" + install_ +
                      "/settings.ini'", Marker()));
    int result = kPlatformDone;
    FILE* file = CreateNewFile("./settings.ini", &result);
    if (file != nullptr)
        std::fclose(file);

    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(result, kPlatformLinkInTheWay);
    FILE* target = _wfopen((base_ + L"\\system\\system.ini").c_str(), L"rb");
    ASSERT_NE(target, nullptr);
    char kept[16] = "";
    std::fread(kept, 1, sizeof kept - 1, target);
    std::fclose(target);
    EXPECT_STREQ(kept, "kept\n");
}

TEST_F(InstallFolderLinks, TheInstallFolderItselfMayNotBeALink)
{
    const std::string unixFolder = install_ + "-linked";
    ASSERT_TRUE(Shell("ln -s '" + system_ + "' '" + unixFolder + "'", Marker()));
    EXPECT_FALSE(EnterInstallFolder(Narrow(folder_ + L"-linked", kNameCodePage).c_str()));
    EXPECT_TRUE(EnterInstallFolder(Narrow(folder_, kNameCodePage).c_str()));
}

TEST(LinkReparsePoint, OnlyNameSurrogatesAreLinks)
{
    EXPECT_TRUE(IsLinkReparsePoint(FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK));
    EXPECT_TRUE(IsLinkReparsePoint(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_MOUNT_POINT));
    EXPECT_FALSE(IsLinkReparsePoint(FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_WOF));
    EXPECT_FALSE(IsLinkReparsePoint(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 0x9000601a));  // cloud
}
