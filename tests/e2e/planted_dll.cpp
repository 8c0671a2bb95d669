// A DLL planted beside setup.exe under the name of a DLL that Windows or Wine
// would load: if a process loads it, it leaves NAME.dll.loaded beside itself
// holding that process's path, and refuses to load. It exports nothing; once
// it is loaded at all the installer has already run code it should not have.
#include <windows.h>

// The entry that the linker looks for when no C runtime is linked in.
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char marker[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(instance, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return FALSE;
    lstrcpyA(marker + length, ".loaded");
    char process[MAX_PATH];
    DWORD processLength = GetModuleFileNameA(nullptr, process, MAX_PATH);
    HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, process, processLength, &written, nullptr);
        CloseHandle(file);
    }
    // A load that fails stops the installer where it would have run our
    // code, instead of letting it go on without the real DLL's functions.
    return FALSE;
}
