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
// "\\?\", the current directory, '\' and an archive path.
constexpr int kFinalPathUnits = 4 + MAX_PATH + 1 + kNameUnits;

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

bool HandleFinalPath(HANDLE handle, wchar_t* final, int capacity)
{
    DWORD length = GetFinalPathNameByHandleW(handle, final, static_cast<DWORD>(capacity), FILE_NAME_NORMALIZED);
    return length > 0 && length < static_cast<DWORD>(capacity);
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

bool RootKnown()
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
int FinalPlace(const wchar_t* final, const wchar_t* relative)
{
    if (!RootKnown())
        return kPlatformFailed;
    const int rootLength = g_places.rootLength;
    const bool inPlace = SameName(final, rootLength, g_places.root, rootLength) && final[rootLength] == '\\' &&
                         SameName(final + rootLength + 1, -1, relative, -1);
    return inPlace ? kPlatformDone : kPlatformLinkInTheWay;
}

int HandlePlace(HANDLE handle, const wchar_t* relative)
{
    wchar_t final[kFinalPathUnits];
    return HandleFinalPath(handle, final, kFinalPathUnits) ? FinalPlace(final, relative) : kPlatformFailed;
}

// What stands at relative, which exists: no reparse point (a junction, a
// mount point, a symbolic link; any other kind counts too) and in place.
int Place(const wchar_t* relative, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return kPlatformLinkInTheWay;
    wchar_t final[kFinalPathUnits];
    return FinalPathOf(relative, final, kFinalPathUnits) ? FinalPlace(final, relative) : kPlatformFailed;
}

// kPlatformDone unless relative's parent folder exists and is not in place.
// The files of one folder come together, so for them (cached) the last
// sound parent is kept: each file is checked again by its own handle.
int ParentPlace(const wchar_t* relative, bool cached)
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
    if (cached && RootKnown() && SameText(parent, g_places.soundParent))
        return kPlatformDone;
    DWORD attributes = GetFileAttributesW(parent);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return kPlatformDone;  // what is made in it fails on its own
    int place = Place(parent, attributes);
    if (place == kPlatformDone)
        lstrcpyW(g_places.soundParent, parent);
    return place;
}

bool DeleteByHandle(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Removes the file at relative, once its own handle shows it in place: the
// name goes, so another name of the same file (a hard link) keeps its bytes.
int RemoveOldFile(const wchar_t* relative)
{
    HANDLE handle = CreateFileW(relative, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return kPlatformFailed;
    BY_HANDLE_FILE_INFORMATION information;
    int place = HandlePlace(handle, relative);
    if (place == kPlatformDone && !GetFileInformationByHandle(handle, &information))
        place = kPlatformFailed;
    else if (place == kPlatformDone && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        place = kPlatformLinkInTheWay;
    else if (place == kPlatformDone &&
             ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !DeleteByHandle(handle)))
        place = kPlatformFailed;
    CloseHandle(handle);
    return place;
}

}  // namespace

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
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !SetCurrentDirectoryW(folder))
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
    int parent = ParentPlace(relative, false);
    if (parent != kPlatformDone)
        return parent;
    const bool made = CreateDirectoryW(relative, nullptr) != 0;
    // A folder already there is used when it stands in place; a new one is
    // looked at again, for a parent swapped for a link since its check.
    DWORD attributes = GetFileAttributesW(relative);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        Place(relative, attributes) == kPlatformLinkInTheWay)
        return kPlatformLinkInTheWay;
    return made ? kPlatformDone : kPlatformFailed;
}

FILE* CreateNewFile(const char* path, int* result)
{
    wchar_t relative[kNameUnits];
    if (!RelativeWidePath(path, relative)) {
        *result = kPlatformBadName;
        return nullptr;
    }
    *result = ParentPlace(relative, true);
    if (*result != kPlatformDone)
        return nullptr;
    DWORD attributes = GetFileAttributesW(relative);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        *result = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? kPlatformLinkInTheWay : RemoveOldFile(relative);
        if (*result != kPlatformDone)
            return nullptr;
    }
    *result = kPlatformFailed;
    HANDLE handle = CreateFileW(relative, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    // A folder on the way swapped for a link since it was checked put the
    // new, empty file elsewhere; it goes again.
    int place = HandlePlace(handle, relative);
    if (place != kPlatformDone) {
        DeleteByHandle(handle);
        CloseHandle(handle);
        *result = place;
        return nullptr;
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) {
        _close(descriptor);
        return nullptr;
    }
    *result = kPlatformDone;
    return file;
}
