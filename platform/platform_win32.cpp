// Win32 side of the platform layer. Names go to the wide calls, converted
// with the installer's own code page. setup.exe runs with administrator
// rights in a folder that another account may have made and filled, or may
// change while the install runs, so nothing is made or written through a
// link that leads out of the current directory: a folder is checked before
// anything is made in it, and each file is checked again through the handle
// that creates it, before a byte is written.
#include "platform/platform_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/platform.h"

namespace {

// An archive path is one line, so at most this many UTF-16 units.
constexpr int kNameUnits = 5000;
// The volume's device name, the current directory, '\' and an archive path.
constexpr int kFinalPathUnits = 64 + MAX_PATH + 1 + kNameUnits;
// Missing from mingw-w64's enumeration below Windows 10 1709's version.
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// The attributes FileBasicInfo may set.
constexpr DWORD kSettableAttributes = 0x31a7;

// Where relative paths lead when nothing is in the way: the current
// directory's final path, and the last parent folder found sound. Both are
// worked out again when the current directory changes.
struct PlaceCheck {
    wchar_t directory[MAX_PATH];
    wchar_t root[kFinalPathUnits];
    int rootLength;
    wchar_t soundParent[kNameUnits];
};
PlaceCheck g_places;

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return CompareStringOrdinal(a, -1, b, -1, FALSE) == CSTR_EQUAL;
}

// As Windows compares names.
bool SameName(const wchar_t* a, int aLength, const wchar_t* b, int bLength)
{
    return CompareStringOrdinal(a, aLength, b, bLength, TRUE) == CSTR_EQUAL;
}

// The archive path as a relative Windows path: '\' between components,
// empty and "." components left out. False when the name does not convert.
bool RelativeWidePath(const char* path, wchar_t* relative)
{
    wchar_t wide[kNameUnits];
    if (WidenName(path, wide, kNameUnits) == 0)
        return false;
    int length = 0;
    for (const wchar_t* component = wide; *component != 0;) {
        const wchar_t* end = component;
        while (*end != 0 && *end != '/' && *end != '\\')
            ++end;
        const int size = static_cast<int>(end - component);
        if (size > 0 && !(size == 1 && component[0] == '.')) {
            if (length > 0)
                relative[length++] = '\\';
            for (int i = 0; i < size; ++i)
                relative[length++] = component[i];
        }
        component = *end == 0 ? end : end + 1;
    }
    relative[length] = 0;
    return true;
}

// Only equality matters, so the volume's own name serves: it needs no drive
// letter and no question to the mount manager.
bool HandleFinalPath(HANDLE handle, wchar_t* final, int capacity)
{
    DWORD length = GetFinalPathNameByHandleW(handle, final, static_cast<DWORD>(capacity),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
    return length > 0 && length < static_cast<DWORD>(capacity);
}

// What path names itself, a link not followed, with access; or
// INVALID_HANDLE_VALUE.
HANDLE OpenItself(const wchar_t* path, DWORD access)
{
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The final path of what path names, with every link on the way followed.
bool FinalPathOf(const wchar_t* path, wchar_t* final, int capacity)
{
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool found = HandleFinalPath(handle, final, capacity);
    CloseHandle(handle);
    return found;
}

// True when the current directory's final path is known, worked out again
// when the current directory has changed.
bool CurrentFolderKnown()
{
    wchar_t directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
    if (length == 0 || length >= MAX_PATH)
        return false;
    if (g_places.rootLength > 0 && SameText(directory, g_places.directory))
        return true;
    g_places.rootLength = 0;
    g_places.soundParent[0] = 0;
    if (!FinalPathOf(L".", g_places.root, kFinalPathUnits))
        return false;
    lstrcpyW(g_places.directory, directory);
    g_places.rootLength = lstrlenW(g_places.root);
    return true;
}

// kPlatformDone when final, a final path, is the current directory's with
// relative appended, so no link stands on the way (Wine shows a link to a
// file as a plain file, but not its final path); kPlatformLinkInTheWay when
// not; kPlatformFailed when that cannot be told.
int FinalPathInPlace(const wchar_t* final, const wchar_t* relative)
{
    if (!CurrentFolderKnown())
        return kPlatformFailed;
    const int rootLength = g_places.rootLength;
    const bool inPlace = SameName(final, rootLength, g_places.root, rootLength) && final[rootLength] == '\\' &&
                         SameName(final + rootLength + 1, -1, relative, -1);
    return inPlace ? kPlatformDone : kPlatformLinkInTheWay;
}

int HandleInPlace(HANDLE handle, const wchar_t* relative)
{
    wchar_t final[kFinalPathUnits];
    return HandleFinalPath(handle, final, kFinalPathUnits) ? FinalPathInPlace(final, relative) : kPlatformFailed;
}

// What the handle of relative, opened on itself, stands for: no link and in
// place. Its attributes and reparse tag are left in *tag.
int HandleNotLinkInPlace(HANDLE handle, const wchar_t* relative, FILE_ATTRIBUTE_TAG_INFO* tag)
{
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, tag, sizeof *tag))
        return kPlatformFailed;
    if (IsLinkReparsePoint(tag->FileAttributes, tag->ReparseTag))
        return kPlatformLinkInTheWay;
    return HandleInPlace(handle, relative);
}

// What stands at relative, which exists: no link and in place.
int NotLinkInPlace(const wchar_t* relative)
{
    HANDLE handle = OpenItself(relative, FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return kPlatformFailed;
    FILE_ATTRIBUTE_TAG_INFO tag;
    int place = HandleNotLinkInPlace(handle, relative, &tag);
    CloseHandle(handle);
    return place;
}

// kPlatformDone unless relative's parent folder exists and is not in place.
// The files of one folder come together, so for them (cached) the last
// sound parent is kept: each file is checked again by its own handle.
int ParentInPlace(const wchar_t* relative, bool cached)
{
    wchar_t parent[kNameUnits];
    lstrcpyW(parent, relative);
    wchar_t* last = nullptr;
    for (wchar_t* p = parent; *p != 0; ++p) {
        if (*p == '\\')
            last = p;
    }
    if (last == nullptr)
        return kPlatformDone;
    *last = 0;
    if (cached && CurrentFolderKnown() && SameText(parent, g_places.soundParent))
        return kPlatformDone;
    DWORD attributes = GetFileAttributesW(parent);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return kPlatformDone;  // what is made in it fails on its own
    int place = NotLinkInPlace(parent);
    if (place == kPlatformDone)
        lstrcpyW(g_places.soundParent, parent);
    return place;
}

bool DeleteByHandle(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool SetAttributes(HANDLE handle, DWORD attributes)
{
    FILE_BASIC_INFO basic = {};  // times of 0 stay as they are
    basic.FileAttributes = (attributes & kSettableAttributes) != 0 ? attributes & kSettableAttributes
                                                                     : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Renames the open file to relative under the current directory, replacing
// nothing. The name goes in full: a simple one keeps the file in its own
// folder on Windows but moves it to the current one under Wine.
bool RenameByHandle(HANDLE handle, const wchar_t* relative)
{
    if (!CurrentFolderKnown())
        return false;
    struct {
        FILE_RENAME_INFO info;
        wchar_t room[kFinalPathUnits];
    } rename;
    rename.info = {};
    wchar_t* name = rename.info.FileName;
    lstrcpyW(name, L"\\??\\");
    lstrcpyW(name + 4, g_places.directory);
    int length = lstrlenW(name);
    name[length++] = '\\';
    lstrcpyW(name + length, relative);
    rename.info.FileNameLength = static_cast<DWORD>(lstrlenW(name) * sizeof(wchar_t));
    return SetFileInformationByHandle(handle, FileRenameInfo, &rename, sizeof rename) != 0;
}

// The name an old file is moved to in the install folder's top level:
// the process id and a count, in hexadecimal.
const wchar_t kSetAsideShape[] = L"~old-0123456789abcdef.tmp";
constexpr int kSetAsideUnits = sizeof kSetAsideShape / sizeof(wchar_t);

// What DeleteFreeingName and RemoveOldFile did with an old file.
constexpr int kOldStays = 0;
constexpr int kOldGone = 1;
// Moved to a free name but not deleted: Windows refuses to delete a
// running program's image (its exe or a DLL), though it lets it be renamed.
constexpr int kOldSetAside = 2;

// A set-aside file, open until the new file has taken its name.
struct SetAside {
    HANDLE handle;
    wchar_t name[kSetAsideUnits];
};

// Deletes the open file and frees its name at once, so that a new file can
// take it while other handles (a scanner's, an indexer's) keep the old one
// open: with POSIX semantics where Windows has them (10 1709 and later,
// NTFS), else moved to a free name (left in name) in the install folder's
// top level first, and gone when the last handle closes. Where neither
// works it is deleted as it is, and its name stays while it is held.
int DeleteFreeingName(HANDLE handle, wchar_t* name)
{
    FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &posix, sizeof posix))
        return kOldGone;
    static DWORD s_renamed;
    for (int tries = 0; tries < 100; ++tries) {
        const unsigned long long number = (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) | ++s_renamed;
        lstrcpyW(name, kSetAsideShape);
        for (int digit = 0; digit < 16; ++digit)
            name[5 + digit] = L"0123456789abcdef"[(number >> (60 - 4 * digit)) & 15];
        if (RenameByHandle(handle, name))
            return DeleteByHandle(handle) ? kOldGone : kOldSetAside;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return DeleteByHandle(handle) ? kOldGone : kOldStays;
}

// Removes the file at relative, once its own handle shows it in place: the
// name goes, so another name of the same file (a hard link) keeps its bytes
// and its read-only attribute. With aside, the name is freed at once and a
// running program's file is set aside there, still open; without, a file
// that cannot go yet is left to the next restart.
int RemoveOldFile(const wchar_t* relative, SetAside* aside)
{
    HANDLE handle = OpenItself(relative, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    // Access rules may allow deleting the file but not changing its
    // attributes; only a read-only file needs the latter.
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = OpenItself(relative, DELETE | FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return kPlatformFailed;
    FILE_ATTRIBUTE_TAG_INFO tag;
    int place = HandleNotLinkInPlace(handle, relative, &tag);
    if (place == kPlatformDone && (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        place = kPlatformFailed;
    if (place == kPlatformDone) {
        const bool readOnly = (tag.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        int old = kOldStays;
        if (!readOnly || SetAttributes(handle, tag.FileAttributes & ~FILE_ATTRIBUTE_READONLY))
            old = aside != nullptr ? DeleteFreeingName(handle, aside->name)
                                  : DeleteByHandle(handle) ? kOldGone : kOldStays;
        if (old == kOldStays) {
            place = kPlatformFailed;
            if (aside == nullptr)
                MoveFileExW(relative, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
        if (readOnly)
            SetAttributes(handle, tag.FileAttributes);
        if (old == kOldSetAside) {
            aside->handle = handle;
            return place;
        }
    }
    CloseHandle(handle);
    return place;
}

// Makes relative, whose name is free, as a new file in place, open for
// writing; or null with *result set.
FILE* OpenNewFile(const wchar_t* relative, int* result)
{
    *result = kPlatformFailed;
    HANDLE handle = CreateFileW(relative, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    // A folder on the way swapped for a link since it was checked put the
    // new, empty file elsewhere. It goes again, as it does whenever no
    // stream can be had, so its name is free again.
    int place = HandleInPlace(handle, relative);
    int descriptor = place == kPlatformDone ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY)
                                            : -1;
    FILE* file = descriptor != -1 ? _fdopen(descriptor, "wb") : nullptr;
    if (file == nullptr) {
        DeleteByHandle(handle);
        if (descriptor != -1)
            _close(descriptor);
        else
            CloseHandle(handle);
        *result = place == kPlatformDone ? kPlatformFailed : place;
        return nullptr;
    }
    *result = kPlatformDone;
    return file;
}

}  // namespace

bool IsLinkReparsePoint(unsigned long attributes, unsigned long reparseTag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparseTag);
}

int WidenName(const char* name, wchar_t* wide, int capacity)
{
    // Windows maps the five bytes Windows-1252 leaves undefined to C1
    // controls, which no name of the build holds.
    if (kNameCodePage == 1252) {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
            if (*p == 0x81 || *p == 0x8D || *p == 0x8F || *p == 0x90 || *p == 0x9D)
                return 0;
        }
    }
    return MultiByteToWideChar(kNameCodePage, MB_ERR_INVALID_CHARS, name, -1, wide, capacity);
}

bool EnterInstallFolder(const char* path)
{
    wchar_t folder[MAX_PATH];
    if (WidenName(path, folder, MAX_PATH) == 0)
        return false;
    CreateDirectoryW(folder, nullptr);
    FILE_ATTRIBUTE_TAG_INFO tag;
    HANDLE handle = OpenItself(folder, FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool read = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) != 0;
    CloseHandle(handle);
    if (!read || (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        IsLinkReparsePoint(tag.FileAttributes, tag.ReparseTag) || !SetCurrentDirectoryW(folder))
        return false;
    // What was entered must be the folder's parent with its last level
    // appended, where a link would lead elsewhere, also one put there after
    // the look above.
    wchar_t* leaf = folder;
    for (wchar_t* p = folder; *p != 0; ++p) {
        if (*p == '\\')
            leaf = p + 1;
    }
    const wchar_t saved = *leaf;
    *leaf = 0;
    wchar_t parent[kFinalPathUnits];
    wchar_t entered[kFinalPathUnits];
    bool known = FinalPathOf(folder, parent, kFinalPathUnits) && FinalPathOf(L".", entered, kFinalPathUnits);
    *leaf = saved;
    if (!known)
        return false;
    int parentLength = lstrlenW(parent);
    if (parentLength > 0 && parent[parentLength - 1] == '\\')
        --parentLength;
    return SameName(entered, parentLength, parent, parentLength) && entered[parentLength] == '\\' &&
           SameName(entered + parentLength + 1, -1, leaf, -1);
}

intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    return SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

int CreateOneFolder(const char* path)
{
    wchar_t relative[kNameUnits];
    if (!RelativeWidePath(path, relative))
        return kPlatformBadName;
    int parent = ParentInPlace(relative, false);
    if (parent != kPlatformDone)
        return parent;
    const bool made = CreateDirectoryW(relative, nullptr) != 0;
    // A folder already there is used when it stands in place; a new one is
    // looked at again, for a parent swapped for a link since its check, and
    // goes again if it was made through that link.
    HANDLE handle = OpenItself(relative, made ? DELETE | FILE_READ_ATTRIBUTES : FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return kPlatformFailed;
    FILE_ATTRIBUTE_TAG_INFO tag;
    int place = HandleNotLinkInPlace(handle, relative, &tag);
    if (place == kPlatformLinkInTheWay && made)
        DeleteByHandle(handle);
    CloseHandle(handle);
    if (place == kPlatformLinkInTheWay)
        return place;
    return made ? kPlatformDone : kPlatformFailed;
}

FILE* CreateNewFile(const char* path, int* result)
{
    wchar_t relative[kNameUnits];
    if (!RelativeWidePath(path, relative)) {
        *result = kPlatformBadName;
        return nullptr;
    }
    *result = ParentInPlace(relative, true);
    if (*result != kPlatformDone)
        return nullptr;
    SetAside aside = {INVALID_HANDLE_VALUE, {}};
    if (GetFileAttributesW(relative) != INVALID_FILE_ATTRIBUTES) {
        *result = RemoveOldFile(relative, &aside);
        if (*result != kPlatformDone)
            return nullptr;
    }
    FILE* file = OpenNewFile(relative, result);
    if (aside.handle != INVALID_HANDLE_VALUE) {
        // The running program keeps its old image; that file goes at the
        // next restart, or at the next install if that comes first. Where
        // the new file could not take the name, the old one gets it back.
        if (file != nullptr)
            MoveFileExW(aside.name, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        else
            RenameByHandle(aside.handle, relative);
        CloseHandle(aside.handle);
    }
    return file;
}

void RemoveSetAsideFiles()
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"~old-*.tmp", &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        // The pattern also matches short names; only the shape counts.
        bool shaped = true;
        for (int i = 0; i < kSetAsideUnits; ++i) {
            const wchar_t c = found.cFileName[i];
            const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
            shaped = shaped && (i >= 5 && i < 21 ? hex : c == kSetAsideShape[i]);
        }
        if (shaped)
            RemoveOldFile(found.cFileName, nullptr);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
