#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The run-time's handler setters, reached in msvcrt.dll itself. mingw's
// import library gives local copies of these that only store a pointer the
// DLL never reads, and some msvcrt builds (Wine's) lack them; then the call
// does nothing and returns 0 / false.
namespace runtime {

using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*,
                                               unsigned int, uintptr_t);
using PurecallHandler = void(__cdecl*)();
// msvcrt's own operator new calls this one; the program's operator new
// (libstdc++) calls std::set_new_handler's instead.
using NewHandler = int(__cdecl*)(size_t);

unsigned int SetAbortBehavior(unsigned int flags, unsigned int mask);

// True when msvcrt.dll has the setter and the handler was installed.
bool SetInvalidParameterHandler(InvalidParameterHandler handler);
bool SetPurecallHandler(PurecallHandler handler);
bool SetNewHandler(NewHandler handler);

}  // namespace runtime
