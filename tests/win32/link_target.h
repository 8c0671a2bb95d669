// A loaded shell link's target as the shell's item list holds it, in
// UTF-16: Wine writes the link's plain path in the code page it runs in,
// which may lack the target's letters. The plain path where there is no
// list.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

inline void GetLinkTarget(IShellLinkW* link, wchar_t* target, int capacity)
{
    target[0] = 0;
    LPITEMIDLIST item = nullptr;
    if (FAILED(link->GetIDList(&item)) || item == nullptr || !SHGetPathFromIDListW(item, target))
        link->GetPath(target, capacity, nullptr, SLGP_RAWPATH);
    CoTaskMemFree(item);
}
