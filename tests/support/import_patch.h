#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <cstring>
#include <utility>

// For programs that run the crash hand-off against a misbehaving system call (link dbghelp).
namespace testsupport {

// Points this program's own import of `name` at `replacement`; returns what it held.
template <typename F>
F ReplaceImport(const char* name, F replacement) {
    auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    ULONG size = 0;
    for (auto* dll = static_cast<IMAGE_IMPORT_DESCRIPTOR*>(
             ImageDirectoryEntryToData(base, TRUE, IMAGE_DIRECTORY_ENTRY_IMPORT, &size));
         dll->Name; ++dll) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slot) {
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) || strcmp(byName->Name, name)) continue;
            DWORD protection = 0;
            VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection);
            return reinterpret_cast<F>(std::exchange(slot->u1.Function, ULONG_PTR(replacement)));
        }
    }
    return nullptr;
}

}  // namespace testsupport
