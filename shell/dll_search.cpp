// Where setup.exe's DLLs come from. Players start it from a download folder
// that may hold anything, and with administrator rights; unless told
// otherwise, Windows looks for a DLL in the program's folder first, and the
// loader binds a program's imports before its entry runs.
//
// So the one DLL imported the usual way is kernel32: Windows maps it from
// its known-DLL list into every process before any program code, and under
// Wine it brings in only kernelbase and ntdll. Everything else, the C
// runtime included, is delay-loaded (cmake/delay_load.cmake lists the
// functions): the first call goes through the helper below, which loads
// from the system folder only, once the entry has restricted the search.
// (A load configuration's DependentLoadFlags would cover ordinary imports
// on Windows 10 1607 and later only, and Wine 8.0 ignores it.)
#include "shell/dll_search.h"

#include <windows.h>

#include <delayimp.h>

namespace {

// Set when Windows knows the LOAD_LIBRARY_SEARCH flags (8 and later, and
// Vista and 7 with update KB2533623) and the default search is restricted.
bool g_hasSearchFlags = false;

HMODULE LoadFromSystemFolder(const char* name)
{
    if (g_hasSearchFlags)
        return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Otherwise the DLL by its full path, whose folder then comes first for
    // the DLL's own imports.
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenA(name) >= MAX_PATH)
        return nullptr;
    path[length] = '\\';
    lstrcpyA(path + length + 1, name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

void RestrictDllSearch()
{
    // The current folder leaves the search everywhere, the program's folder
    // where the search flags are known.
    SetDllDirectoryA("");
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    g_hasSearchFlags = setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Wine 8.0 resolves its own DLLs' delay-loaded imports along the search
    // path the process started with: the input method's ole32 and the
    // themes' msimg32 would come from the program's folder. Loaded now,
    // they are found already loaded.
    LoadFromSystemFolder("ole32.dll");
    LoadFromSystemFolder("msimg32.dll");
}

// The first call of a delay-loaded function: loads its DLL if need be, finds
// the function, stores it in the function's import slot and returns it.
// Two threads may get here at once; both store the same values. A DLL or
// function that cannot be had, or a slot that cannot be written, ends the
// process with exit code 1.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot)
{
    auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleA(nullptr));
    auto* module = reinterpret_cast<HMODULE*>(base + descriptor->rvaHmod);
    if (*module == nullptr) {
        HMODULE loaded = LoadFromSystemFolder(reinterpret_cast<const char*>(base + descriptor->rvaDLLName));
        if (loaded == nullptr)
            ExitProcess(1);
        *module = loaded;
    }
    auto* slots = reinterpret_cast<FARPROC*>(base + descriptor->rvaIAT);
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->rvaINT);
    const IMAGE_THUNK_DATA& entry = names[slot - slots];
    const char* function = IMAGE_SNAP_BY_ORDINAL(entry.u1.Ordinal)
        ? MAKEINTRESOURCEA(IMAGE_ORDINAL(entry.u1.Ordinal))
        : reinterpret_cast<const char*>(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + entry.u1.AddressOfData)->Name);
    FARPROC address = GetProcAddress(*module, function);
    // ld 2.44 and later keep the import slots read-only, as protected delay
    // loads on Windows do; the slot's page stays writable once made so,
    // which keeps two threads here at once from faulting.
    DWORD protection = 0;
    if (address == nullptr || !VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection))
        ExitProcess(1);
    *slot = address;
    return address;
}
