#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The hooks the hand-off installs. Each is its own function (the library is
// built without identical-code folding), so the return address in a
// synthetic record names the hook that made it.
namespace crash_hooks {

void __cdecl PureCall();
// For the program's own operator new: hands over, then makes it throw
// std::bad_alloc.
void OutOfMemory();
// For msvcrt's operator new, used by modules that take their C++ operators
// from msvcrt.dll: hands over, then 0 so that the allocation gives up.
int __cdecl RuntimeOutOfMemory(size_t size);
void __cdecl InvalidParameter(const wchar_t* expression, const wchar_t* function,
                              const wchar_t* file, unsigned int line, uintptr_t reserved);
void __cdecl AbortSignal(int signal);
void __cdecl InterruptSignal(int signal);
void __cdecl TerminationSignal(int signal);
void Terminate();
void Unexpected();
void __cdecl FloatingPointSignal(int signal);
void __cdecl IllegalInstructionSignal(int signal);
void __cdecl SegmentationSignal(int signal);

}  // namespace crash_hooks

// Stores in `*out` a synthetic fault record whose address is the return
// address into the caller, in room the hand-off set aside; null inside the
// thread's own hook and when no room is left.
void CaptureExceptionPointers(DWORD code, EXCEPTION_POINTERS** out);

struct CrashHookEntry {
    const char* name;
    const void* address;
};

// Every hook by name, the top-level filter first; lets tests tell which hook
// a synthetic record came from.
const CrashHookEntry* CrashHookTable(size_t* count);
