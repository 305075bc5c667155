#include "common/msvcrt_runtime.h"

#include <windows.h>

namespace runtime {
namespace {

FARPROC RuntimeExport(const char* name) {
    HMODULE crt = GetModuleHandleW(L"msvcrt.dll");
    return crt ? GetProcAddress(crt, name) : nullptr;
}

template <typename Handler>
bool SetHandler(const char* setterName, Handler handler) {
    using Setter = Handler(__cdecl*)(Handler);
    auto setter = reinterpret_cast<Setter>(RuntimeExport(setterName));
    if (!setter) return false;
    setter(handler);
    return true;
}

}  // namespace

unsigned int SetAbortBehavior(unsigned int flags, unsigned int mask) {
    using Fn = unsigned int(__cdecl*)(unsigned int, unsigned int);
    auto fn = reinterpret_cast<Fn>(RuntimeExport("_set_abort_behavior"));
    return fn ? fn(flags, mask) : 0;
}

bool SetInvalidParameterHandler(InvalidParameterHandler handler) {
    return SetHandler("_set_invalid_parameter_handler", handler);
}

bool SetPurecallHandler(PurecallHandler handler) {
    return SetHandler("_set_purecall_handler", handler);
}

bool SetNewHandler(NewHandler handler) {
    // Exported only under its C++ name: _set_new_handler(int (*)(size_t)).
    return SetHandler("?_set_new_handler@@YAP6AH_K@ZP6AH0@Z@Z", handler);
}

}  // namespace runtime
