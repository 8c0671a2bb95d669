// Start-menu shortcut through the shell's link object.
#include "shortcut/start_menu_shortcut.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstring>

#include "shortcut/path_helpers.h"

namespace {

// The shell link's class and the two interfaces used, defined here so that
// the whole of libuuid's table stays out of the program.
constexpr CLSID kClsidShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidShellLinkA = {0x000214EE, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr int kLinkPathSize = 261;
constexpr int kTargetPathSize = 260;

// base\component in buffer; false when it had to be cut.
bool JoinPath(char* buffer, int capacity, const char* base, const char* component)
{
    CopyBounded(buffer, base, capacity);
    AppendPathComponent(buffer, capacity, component);
    return std::strlen(buffer) == std::strlen(base) + 1 + std::strlen(component);
}

bool AppendFits(char* buffer, int capacity, const char* text)
{
    size_t expected = std::strlen(buffer) + std::strlen(text);
    AppendBounded(buffer, capacity, text);
    return std::strlen(buffer) == expected;
}

// Path of the current user's Start-menu Programs folder.
bool FindProgramsFolder(char* path)
{
    LPITEMIDLIST list = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list) != S_OK || list == nullptr)
        return false;
    path[0] = '\0';
    BOOL found = SHGetPathFromIDListA(list, path);
    CoTaskMemFree(list);
    return found && path[0] != '\0';
}

// COM for the length of one call, and the interfaces obtained in it.
struct ComSession {
    IShellLinkA* link = nullptr;
    IPersistFile* persist = nullptr;

    ~ComSession()
    {
        if (link != nullptr)
            link->Release();
        if (persist != nullptr)
            persist->Release();
        CoUninitialize();
    }
};

}  // namespace

int CreateStartMenuShortcut(const char* groupName, const char* linkName, const char* workingDir,
                            const char* exeName, const char* iconName)
{
    char programsPath[kLinkPathSize];
    char linkPath[kLinkPathSize];
    char targetPath[kTargetPathSize];
    char iconPath[kTargetPathSize];
    WCHAR widePath[kTargetPathSize];

    if (!FindProgramsFolder(programsPath))
        return -1;

    // Every path is built and checked before anything is made, so a name
    // that does not fit never leaves a link under a cut name.
    bool hasIcon = iconName != nullptr && iconName[0] != '\0';
    if (!JoinPath(targetPath, kTargetPathSize, workingDir, exeName))
        return -1;
    if (hasIcon && !JoinPath(iconPath, kTargetPathSize, workingDir, iconName))
        return -1;
    char groupPath[kLinkPathSize];
    if (!JoinPath(groupPath, kLinkPathSize, programsPath, groupName))
        return -1;
    if (!JoinPath(linkPath, kLinkPathSize, groupPath, linkName) || !AppendFits(linkPath, kLinkPathSize, ".lnk"))
        return -1;
    if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, kTargetPathSize) == 0)
        return -1;

    ScopedStrings strings;
    strings.slots[0] = strdup(groupPath);
    if (strings.slots[0] == nullptr)
        return -1;
    struct stat status;
    bool groupExists = stat(strings.slots[0], &status) == 0 && (status.st_mode & _S_IFDIR) != 0;
    if (!groupExists && MakeDirectory(groupPath, 0700) != 0)
        return -1;

    // S_FALSE (already initialised on this thread) is fine; either way the
    // call is balanced by the session's CoUninitialize.
    if (FAILED(CoInitialize(nullptr)))
        return -1;
    ComSession com;
    if (FAILED(CoCreateInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkA,
                                reinterpret_cast<void**>(&com.link))))
        return -1;
    com.link->SetPath(targetPath);
    com.link->SetWorkingDirectory(workingDir);
    com.link->SetDescription(linkName);
    if (hasIcon)
        com.link->SetIconLocation(iconPath, 0);
    if (FAILED(com.link->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(&com.persist))))
        return -1;
    return FAILED(com.persist->Save(widePath, TRUE)) ? -1 : 0;
}
