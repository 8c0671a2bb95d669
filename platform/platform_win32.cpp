// Win32 side of the platform layer. Names go to the wide calls, converted
// with the installer's own code page. setup.exe runs with administrator
// rights in a folder that another account may have made and filled, so
// nothing is made or written through a link that leads out of the current
// directory: each place is checked where it stands before it is used.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/wide_names.h"

namespace {

// An archive path is one line, so at most this many UTF-16 units.
constexpr int kNameUnits = 5000;
constexpr int kFinalPathUnits = kNameUnits + MAX_PATH;

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

// The final path of what path names, with every link on the way followed.
bool FinalPathOf(const wchar_t* path, wchar_t* final, int capacity)
{
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD length = GetFinalPathNameByHandleW(handle, final, static_cast<DWORD>(capacity), FILE_NAME_NORMALIZED);
    CloseHandle(handle);
    return length > 0 && length < static_cast<DWORD>(capacity);
}

bool RootKnown()
{
    wchar_t directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
    if (length == 0 || length >= MAX_PATH)
        return false;
    if (g_places.rootLength > 0 && lstrcmpW(directory, g_places.directory) == 0)
        return true;
    g_places.rootLength = 0;
    g_places.soundParent[0] = 0;
    if (!FinalPathOf(L".", g_places.root, kFinalPathUnits))
        return false;
    lstrcpyW(g_places.directory, directory);
    g_places.rootLength = lstrlenW(g_places.root);
    return true;
}

// What stands at relative, which exists: kPlatformDone when it is reached
// without a link, that is, it is no reparse point (junction, mount point,
// symbolic link) and its final path is the current directory's with
// relative appended, so no link stands above it either (Wine shows a link
// to a file as a plain file); kPlatformLinkInTheWay when not; kPlatformFailed
// when that cannot be told.
int Place(const wchar_t* relative, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return kPlatformLinkInTheWay;
    wchar_t final[kFinalPathUnits];
    if (!RootKnown() || !FinalPathOf(relative, final, kFinalPathUnits))
        return kPlatformFailed;
    const int rootLength = g_places.rootLength;
    const bool inPlace =
        CompareStringOrdinal(final, rootLength, g_places.root, rootLength, TRUE) == CSTR_EQUAL &&
        final[rootLength] == '\\' && CompareStringOrdinal(final + rootLength + 1, -1, relative, -1, TRUE) == CSTR_EQUAL;
    return inPlace ? kPlatformDone : kPlatformLinkInTheWay;
}

// kPlatformDone unless relative's parent folder exists and is not in place
// (see Place). Entries of one folder come together, so the last sound parent
// is kept.
int ParentPlace(const wchar_t* relative)
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
    if (RootKnown() && lstrcmpW(parent, g_places.soundParent) == 0)
        return kPlatformDone;
    DWORD attributes = GetFileAttributesW(parent);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return kPlatformDone;  // what is made in it fails on its own
    int place = Place(parent, attributes);
    if (place == kPlatformDone)
        lstrcpyW(g_places.soundParent, parent);
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

intptr_t SendWindowMessage(WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    return SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

int CreateOneFolder(const char* path)
{
    wchar_t relative[kNameUnits];
    if (!RelativeWidePath(path, relative))
        return kPlatformBadName;
    int parent = ParentPlace(relative);
    if (parent != kPlatformDone)
        return parent;
    if (CreateDirectoryW(relative, nullptr))
        return kPlatformDone;
    // A folder already there is used when it stands in place.
    DWORD attributes = GetFileAttributesW(relative);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        Place(relative, attributes) == kPlatformLinkInTheWay)
        return kPlatformLinkInTheWay;
    return kPlatformFailed;
}

FILE* CreateNewFile(const char* path, int* result)
{
    wchar_t relative[kNameUnits];
    if (!RelativeWidePath(path, relative)) {
        *result = kPlatformBadName;
        return nullptr;
    }
    *result = ParentPlace(relative);
    if (*result != kPlatformDone)
        return nullptr;
    *result = kPlatformFailed;
    DWORD attributes = GetFileAttributesW(relative);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        int place = Place(relative, attributes);
        if (place != kPlatformDone) {
            *result = place;
            return nullptr;
        }
        // Removing the name, not writing into the file, leaves another name
        // of the same file (a hard link) with its bytes.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !DeleteFileW(relative))
            return nullptr;
    }
    HANDLE handle = CreateFileW(relative, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
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
