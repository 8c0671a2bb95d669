// setup.exe's entry point in place of the C runtime's start-up code, which
// is more than a tenth of the program. msvcrt.dll sets itself up when it is
// loaded. The start-up code's other duties do not arise here: no global
// needs a constructor, and nothing uses thread-local data or data imported
// from a DLL.
#include <windows.h>

#include <cstdlib>

#include "shell/dll_search.h"

extern "C" __attribute__((force_align_arg_pointer)) void SetupStartup()
{
    // Before any call into a DLL other than kernel32.
    RestrictDllSearch();
    std::exit(WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT));
}
