// CreateStartMenuShortcut against the real shell: each saved link is read
// back through the shell link object's wide interface. Paths here are in
// the build's code page, as the installer's names are.
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "shell/install_config.h"
#include "shortcut/start_menu_shortcut.h"
#include "tests/win32/build_names.h"
#include "tests/win32/link_target.h"
#include "tests/win32/replace_import.h"

namespace {

constexpr CLSID kClsidShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

std::string ProgramsFolder(int folder)
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path);
    return Narrow(path, kNameCodePage);
}

// Wine runs programs with administrator rights, so links go into the
// Programs folder of all accounts.
std::string ProgramsFolder()
{
    return ProgramsFolder(CSIDL_COMMON_PROGRAMS);
}

std::string GroupPath(const std::string& group)
{
    return ProgramsFolder() + "\\" + group;
}

std::string LinkFile(const std::string& group, const std::string& link)
{
    return GroupPath(group) + "\\" + link + ".lnk";
}

DWORD Attributes(const std::string& path)
{
    return GetFileAttributesW(BuildWide(path).c_str());
}

bool IsFolder(const std::string& path)
{
    DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::string& path)
{
    DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool Exists(const std::string& path)
{
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

// What a saved link holds; loaded is false when the file could not be read
// as a link.
struct SavedLink {
    bool loaded = false;
    std::string path;
    std::string workingDir;
    std::string description;
    std::string iconPath;
    int iconIndex = -1;
};

// Needs COM on the calling thread.
SavedLink ReadLink(const std::string& file)
{
    SavedLink saved;
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return saved;
    IPersistFile* persist = nullptr;
    if (SUCCEEDED(link->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(&persist)))) {
        if (SUCCEEDED(persist->Load(BuildWide(file).c_str(), STGM_READ))) {
            wchar_t text[1024];
            saved.loaded = true;
            GetLinkTarget(link, text, 1024);
            saved.path = Narrow(text, kNameCodePage);
            text[0] = 0;
            link->GetWorkingDirectory(text, 1024);
            saved.workingDir = Narrow(text, kNameCodePage);
            text[0] = 0;
            link->GetDescription(text, 1024);
            saved.description = Narrow(text, kNameCodePage);
            text[0] = 0;
            link->GetIconLocation(text, 1024, &saved.iconIndex);
            saved.iconPath = Narrow(text, kNameCodePage);
        }
        persist->Release();
    }
    link->Release();
    return saved;
}

SavedLink ReadLinkWithCom(const std::string& file)
{
    CoInitialize(nullptr);
    SavedLink saved = ReadLink(file);
    CoUninitialize();
    return saved;
}

using ComStartFunction = HRESULT(WINAPI*)(LPVOID);
ComStartFunction g_realCoInitialize = nullptr;
int g_comStarts = 0;

HRESULT WINAPI CountComStart(LPVOID reserved)
{
    ++g_comStarts;
    return g_realCoInitialize(reserved);
}

// Counts this program's calls to CoInitialize while it lives.
struct ComStartCounter {
    ComStartCounter()
    {
        g_comStarts = 0;
        g_realCoInitialize = reinterpret_cast<ComStartFunction>(
            ReplaceImport("ole32.dll", "CoInitialize", reinterpret_cast<void*>(CountComStart)));
    }
    ~ComStartCounter() { ReplaceImport("ole32.dll", "CoInitialize", reinterpret_cast<void*>(g_realCoInitialize)); }
};

BOOL WINAPI NotAnAdministrator()
{
    return FALSE;
}

}  // namespace

TEST(StartMenuShortcut, CreatesTheGroupFolderAndALinkToTheInstalledGame)
{
    ASSERT_FALSE(Exists(GroupPath(kProductName)));
    ASSERT_EQ(CreateStartMenuShortcut(kProductName, kProductName, kInstallDir, kExeName, nullptr), 0);

    EXPECT_TRUE(IsFolder(GroupPath(kProductName)));
    SavedLink saved = ReadLinkWithCom(LinkFile(kProductName, kProductName));
    ASSERT_TRUE(saved.loaded);
    EXPECT_EQ(saved.path, std::string(kInstallDir) + "\\" + kExeName);
    EXPECT_EQ(saved.workingDir, kInstallDir);
    EXPECT_EQ(saved.description, kProductName);
    EXPECT_EQ(saved.iconPath, "");
}

TEST(StartMenuShortcut, ReusesAGroupFolderThatIsThereAndKeepsItsFiles)
{
    const std::string group = "Marbrel Present Group";
    ASSERT_TRUE(CreateDirectoryW(BuildWide(GroupPath(group)).c_str(), nullptr));
    std::ofstream(GroupPath(group) + "\\other.txt") << "kept";

    ASSERT_EQ(CreateStartMenuShortcut(group.c_str(), "Play", "C:\\Games\\Marbrel", "marbrel.exe", nullptr), 0);

    EXPECT_TRUE(IsFile(GroupPath(group) + "\\other.txt"));
    SavedLink saved = ReadLinkWithCom(LinkFile(group, "Play"));
    ASSERT_TRUE(saved.loaded);
    EXPECT_EQ(saved.path, "C:\\Games\\Marbrel\\marbrel.exe");
    EXPECT_EQ(saved.workingDir, "C:\\Games\\Marbrel");
    EXPECT_EQ(saved.description, "Play");
}

TEST(StartMenuShortcut, FailsAndLeavesAPlainFileWithTheGroupNameAlone)
{
    const std::string group = "Marbrel File Group";
    std::ofstream(GroupPath(group), std::ios::binary) << "not a folder";
    ComStartCounter counter;
    ASSERT_NE(g_realCoInitialize, nullptr);

    EXPECT_EQ(CreateStartMenuShortcut(group.c_str(), "Play", "C:\\Games\\Marbrel", "marbrel.exe", nullptr), -1);
    EXPECT_EQ(g_comStarts, 0) << "COM is not touched";

    ASSERT_TRUE(IsFile(GroupPath(group)));
    std::ifstream file(GroupPath(group), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "not a folder");
    EXPECT_FALSE(Exists(GroupPath(group) + ".lnk"));
    EXPECT_FALSE(Exists(ProgramsFolder() + "\\Play.lnk"));

    EXPECT_EQ(CreateStartMenuShortcut("Marbrel Other Group", "Play", "C:\\Games", "marbrel.exe", nullptr), 0);
    EXPECT_EQ(g_comStarts, 1) << "the count sees the calls";
}

TEST(StartMenuShortcut, SavesTheLinkWhenComIsAlreadyInitialisedAndLeavesComToTheCaller)
{
    const std::string group = "Marbrel Com Group";
    ASSERT_EQ(CoInitialize(nullptr), S_OK);

    int result = CreateStartMenuShortcut(group.c_str(), "Play", "C:\\Games\\Marbrel", "marbrel.exe", nullptr);
    // Still initialised: a second CoInitialize only counts up, and the shell
    // link object can still be made.
    HRESULT again = CoInitialize(nullptr);
    SavedLink saved = ReadLink(LinkFile(group, "Play"));
    CoUninitialize();
    CoUninitialize();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(again, S_FALSE);
    ASSERT_TRUE(saved.loaded);
    EXPECT_EQ(saved.path, "C:\\Games\\Marbrel\\marbrel.exe");
}

TEST(StartMenuShortcut, FailsWithoutALinkWhenTheThreadIsInTheMultithreadedApartment)
{
    const std::string group = "Marbrel Mta Group";
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);

    int result = CreateStartMenuShortcut(group.c_str(), "Play", "C:\\Games\\Marbrel", "marbrel.exe", nullptr);
    HRESULT again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoUninitialize();
    CoUninitialize();

    EXPECT_EQ(result, -1);
    EXPECT_EQ(again, S_FALSE);
    EXPECT_FALSE(Exists(LinkFile(group, "Play")));
}

TEST(StartMenuShortcut, SetsAnIconLocationInTheWorkingFolderOnlyForANamedIcon)
{
    const std::string group = "Marbrel Icon Group";
    ASSERT_EQ(CreateStartMenuShortcut(group.c_str(), "Named", "C:\\Games\\Marbrel", "marbrel.exe", "marbrel.ico"), 0);
    ASSERT_EQ(CreateStartMenuShortcut(group.c_str(), "Empty", "C:\\Games\\Marbrel", "marbrel.exe", ""), 0);

    SavedLink named = ReadLinkWithCom(LinkFile(group, "Named"));
    SavedLink empty = ReadLinkWithCom(LinkFile(group, "Empty"));
    ASSERT_TRUE(named.loaded);
    EXPECT_EQ(named.iconPath, "C:\\Games\\Marbrel\\marbrel.ico");
    EXPECT_EQ(named.iconIndex, 0);
    EXPECT_EQ(named.path, "C:\\Games\\Marbrel\\marbrel.exe");
    ASSERT_TRUE(empty.loaded);
    EXPECT_EQ(empty.iconPath, "");
    EXPECT_EQ(empty.path, "C:\\Games\\Marbrel\\marbrel.exe");
}

TEST(StartMenuShortcut, PassesAWorkingFolderWithATrailingBackslashOnUnchanged)
{
    const std::string group = "Marbrel Backslash Group";
    ASSERT_EQ(CreateStartMenuShortcut(group.c_str(), "Play", "C:\\Games\\Marbrel\\", "marbrel.exe", nullptr), 0);

    SavedLink saved = ReadLinkWithCom(LinkFile(group, "Play"));
    ASSERT_TRUE(saved.loaded);
    EXPECT_EQ(saved.workingDir, "C:\\Games\\Marbrel\\");
    // The shell folds the doubled backslash of the target path.
    EXPECT_EQ(saved.path, "C:\\Games\\Marbrel\\marbrel.exe");
    EXPECT_EQ(saved.description, "Play");
}

// The link file's full path may be 259 bytes; one more and nothing is made,
// not even the group folder, rather than a link under a cut name.
TEST(StartMenuShortcut, MakesNothingWhenTheLinkPathDoesNotFit)
{
    const std::string group = "Marbrel Long Link";
    size_t fixed = GroupPath(group).size() + 1 + 4;
    ASSERT_LT(fixed, 200u);
    std::string fits(259 - fixed, 'L');
    std::string tooLong(260 - fixed, 'L');

    EXPECT_EQ(CreateStartMenuShortcut(group.c_str(), tooLong.c_str(), "C:\\Games", "marbrel.exe", nullptr), -1);
    EXPECT_FALSE(Exists(GroupPath(group)));

    EXPECT_EQ(CreateStartMenuShortcut(group.c_str(), fits.c_str(), "C:\\Games", "marbrel.exe", nullptr), 0);
    ASSERT_EQ(LinkFile(group, fits).size(), 259u);
    SavedLink saved = ReadLinkWithCom(LinkFile(group, fits));
    ASSERT_TRUE(saved.loaded);
    EXPECT_EQ(saved.description, fits);
}

TEST(StartMenuShortcut, MakesNothingWhenTheTargetOrIconPathIsOver259Bytes)
{
    const std::string group = "Marbrel Long Target";
    const std::string folder = "C:\\Games\\" + std::string(200, 'D');
    std::string fits(259 - folder.size() - 1, 'e');
    std::string tooLong(260 - folder.size() - 1, 'e');

    EXPECT_EQ(CreateStartMenuShortcut(group.c_str(), "Target", folder.c_str(), tooLong.c_str(), nullptr), -1);
    EXPECT_EQ(CreateStartMenuShortcut(group.c_str(), "Icon", folder.c_str(), "m.exe", tooLong.c_str()), -1);
    EXPECT_FALSE(Exists(GroupPath(group)));

    EXPECT_EQ(CreateStartMenuShortcut(group.c_str(), "Fits", folder.c_str(), fits.c_str(), fits.c_str()), 0);
    SavedLink saved = ReadLinkWithCom(LinkFile(group, "Fits"));
    ASSERT_TRUE(saved.loaded);
    EXPECT_EQ(saved.path, folder + "\\" + fits);
    EXPECT_EQ(saved.iconPath, folder + "\\" + fits);
}

TEST(StartMenuShortcut, FailsAndMakesNothingWithoutAProgramsFolder)
{
    const std::string programs = ProgramsFolder();
    const std::string away = programs + " away";
    ASSERT_TRUE(MoveFileW(BuildWide(programs).c_str(), BuildWide(away).c_str()));

    int result = CreateStartMenuShortcut("Marbrel No Programs", "Play", "C:\\Games", "marbrel.exe", nullptr);
    bool madeSomething = Exists(programs);
    MoveFileW(BuildWide(away).c_str(), BuildWide(programs).c_str());

    EXPECT_EQ(result, -1);
    EXPECT_FALSE(madeSomething);
}

TEST(StartMenuShortcut, WithoutAdministratorRightsGoesIntoTheAccountsOwnProgramsFolder)
{
    const std::string group = "Marbrel Own Group";
    void* rightsCheck = ReplaceImport("shell32.dll", "IsUserAnAdmin", reinterpret_cast<void*>(NotAnAdministrator));
    ASSERT_NE(rightsCheck, nullptr);
    int result = CreateStartMenuShortcut(group.c_str(), "Play", "C:\\Games\\Marbrel", "marbrel.exe", nullptr);
    ReplaceImport("shell32.dll", "IsUserAnAdmin", rightsCheck);

    EXPECT_EQ(result, 0);
    const std::string own = ProgramsFolder(CSIDL_PROGRAMS) + "\\" + group;
    SavedLink saved = ReadLinkWithCom(own + "\\Play.lnk");
    ASSERT_TRUE(saved.loaded);
    EXPECT_EQ(saved.path, "C:\\Games\\Marbrel\\marbrel.exe");
    EXPECT_EQ(saved.workingDir, "C:\\Games\\Marbrel");
    EXPECT_FALSE(Exists(GroupPath(group))) << "nothing in the shared folder";
}
