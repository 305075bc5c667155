#include "common/msvcrt_runtime.h"

#include <windows.h>

namespace runtime {
namespace {

FARPROC RuntimeExport(const char* name) {
    HMODULE crt = GetModuleHandleW(L"msvcrt.dll");
    return crt ? GetProcAddress(crt, name) : nullptr;
}

}  // namespace

unsigned int SetAbortBehavior(unsigned int flags, unsigned int mask) {
    using Fn = unsigned int(__cdecl*)(unsigned int, unsigned int);
    auto fn = reinterpret_cast<Fn>(RuntimeExport("_set_abort_behavior"));
    return fn ? fn(flags, mask) : 0;
}

}  // namespace runtime
