// Test seam for Windows code: swaps one entry of this program's import
// table, so a test can make a system call fail or count its calls.
#pragma once

#include <windows.h>

#include <cstring>

// Points this program's import of function from dll at replacement and
// returns what it pointed at before; null when there is no such import.
inline void* ReplaceImport(const char* dll, const char* function, void* replacement)
{
    auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleA(nullptr));
    auto* headers = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    DWORD imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); module->Name != 0; ++module) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + module->Name), dll) != 0)
            continue;
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<char*>(byName->Name), function) != 0)
                continue;
            DWORD protection;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
            void* previous = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}
