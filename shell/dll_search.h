// Where setup.exe's DLLs come from: the system folder only (see
// dll_search.cpp).
#pragma once

// Restricts the DLL search to the system folder for the rest of the process
// (where Windows cannot, at least takes the current folder out), and loads
// the DLLs that Wine's own DLLs would otherwise look for in the program's
// folder. The entry's first call.
void RestrictDllSearch();
