// Start-menu shortcut through the shell's link object.
#include "shortcut/start_menu_shortcut.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <cstdlib>

#include "platform/platform_win32.h"
#include "shortcut/path_helpers.h"

namespace {

// The shell link's class and the two interfaces used, defined here so that
// the whole of libuuid's table stays out of the program.
constexpr CLSID kClsidShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr int kLinkPathSize = 261;
constexpr int kTargetPathSize = 260;

// base\component in buffer; false when it had to be cut.
bool JoinPath(WCHAR* buffer, int capacity, const WCHAR* base, const WCHAR* component)
{
    CopyBounded(buffer, base, capacity);
    AppendPathComponent(buffer, capacity, component);
    return lstrlenW(buffer) == lstrlenW(base) + 1 + lstrlenW(component);
}

bool AppendFits(WCHAR* buffer, int capacity, const WCHAR* text)
{
    int expected = lstrlenW(buffer) + lstrlenW(text);
    AppendBounded(buffer, capacity, text);
    return lstrlenW(buffer) == expected;
}

// Path of the Start-menu Programs folder the player sees. setup.exe runs
// elevated, often as an administrator whose password a parent typed for a
// child's account; the account's own folder would then be the
// administrator's, so with administrator rights the link goes where every
// account's Start menu shows it, as the install folder serves every account.
bool FindProgramsFolder(WCHAR* path)
{
    const int folder = IsUserAnAdmin() ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS;
    LPITEMIDLIST list = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, folder, &list) != S_OK || list == nullptr)
        return false;
    path[0] = 0;
    BOOL found = SHGetPathFromIDListW(list, path);
    CoTaskMemFree(list);
    return found && path[0] != 0;
}

// COM for the length of one call, and the interfaces obtained in it.
struct ComSession {
    IShellLinkW* link = nullptr;
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

// The caller's names in UTF-16; a name that does not fit is not cut but
// refused, like one that does not convert.
struct WideNames {
    WCHAR group[kLinkPathSize];
    WCHAR link[kLinkPathSize];
    WCHAR workingDir[kTargetPathSize];
    WCHAR exe[kTargetPathSize];
    WCHAR icon[kTargetPathSize];
};

bool Widen(WideNames* wide, const char* groupName, const char* linkName, const char* workingDir,
           const char* exeName, const char* iconName)
{
    return WidenName(groupName, wide->group, kLinkPathSize) != 0 && WidenName(linkName, wide->link, kLinkPathSize) != 0 &&
           WidenName(workingDir, wide->workingDir, kTargetPathSize) != 0 &&
           WidenName(exeName, wide->exe, kTargetPathSize) != 0 &&
           WidenName(iconName != nullptr ? iconName : "", wide->icon, kTargetPathSize) != 0;
}

}  // namespace

int CreateStartMenuShortcut(const char* groupName, const char* linkName, const char* workingDir,
                            const char* exeName, const char* iconName)
{
    WideNames names;
    if (!Widen(&names, groupName, linkName, workingDir, exeName, iconName))
        return -1;
    WCHAR programsPath[kLinkPathSize];
    WCHAR linkPath[kLinkPathSize];
    WCHAR targetPath[kTargetPathSize];
    WCHAR iconPath[kTargetPathSize];

    if (!FindProgramsFolder(programsPath))
        return -1;

    // Every path is built and checked before anything is made, so a name
    // that does not fit never leaves a link under a cut name.
    bool hasIcon = names.icon[0] != 0;
    if (!JoinPath(targetPath, kTargetPathSize, names.workingDir, names.exe))
        return -1;
    if (hasIcon && !JoinPath(iconPath, kTargetPathSize, names.workingDir, names.icon))
        return -1;
    WCHAR groupPath[kLinkPathSize];
    if (!JoinPath(groupPath, kLinkPathSize, programsPath, names.group))
        return -1;
    // The link file's own path is held to MAX_PATH units with its
    // terminator, as the save takes it.
    if (!JoinPath(linkPath, kLinkPathSize, groupPath, names.link) || !AppendFits(linkPath, kTargetPathSize, L".lnk"))
        return -1;

    ScopedString group;
    group.text = _wcsdup(groupPath);
    if (group.text == nullptr)
        return -1;
    DWORD attributes = GetFileAttributesW(group.text);
    bool groupExists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!groupExists && !CreateDirectoryW(groupPath, nullptr))
        return -1;

    // S_FALSE (already initialised on this thread) is fine; either way the
    // call is balanced by the session's CoUninitialize.
    if (FAILED(CoInitialize(nullptr)))
        return -1;
    ComSession com;
    if (FAILED(CoCreateInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkW,
                                reinterpret_cast<void**>(&com.link))))
        return -1;
    com.link->SetPath(targetPath);
    com.link->SetWorkingDirectory(names.workingDir);
    com.link->SetDescription(names.link);
    if (hasIcon)
        com.link->SetIconLocation(iconPath, 0);
    if (FAILED(com.link->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(&com.persist))))
        return -1;
    return FAILED(com.persist->Save(linkPath, TRUE)) ? -1 : 0;
}
