// setup.exe's entry point in place of the C runtime's start-up code, which
// is more than a tenth of the program. msvcrt.dll sets itself up when it is
// loaded. The start-up code's other duties do not arise here: no global
// needs a constructor, and nothing uses thread-local data or data imported
// from a DLL.
#include <windows.h>

#include <cstdlib>

extern "C" __attribute__((force_align_arg_pointer)) void SetupStartup()
{
    std::exit(WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT));
}
