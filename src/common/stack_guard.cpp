// The run-time of the stack protector and of _FORTIFY_SOURCE, in place of
// the toolchain's libssp. libssp seeds its guard with CryptAcquireContextA
// and CryptGenRandom: every program would import advapi32 and load a crypto
// provider at each start. Here the guard comes from msvcrt's rand_s, which
// the programs already import, and a failed check ends the process as the
// Windows run-time ends it. Every program is linked with this file (see
// cmake/Hardening.cmake), so libssp's copy is never pulled in.
#define _CRT_RAND_S
#include <windows.h>
#include <stdlib.h>

#include <cstdint>

extern "C" {

// Not zero before seeding, so that a frame entered before the constructor
// still has a guard to check.
std::uintptr_t __stack_chk_guard = 0x2B992DDFA232;

// Runs before any of the program's own code; the frames live while the
// guard changes (the run-time's start-up code) have no guard of their own,
// and this function must not have one either.
__attribute__((constructor, no_stack_protector)) static void SeedStackGuard() {
    unsigned int low = 0, high = 0;
    if (rand_s(&low) == 0 && rand_s(&high) == 0) {
        __stack_chk_guard = (static_cast<std::uintptr_t>(high) << 32) | low;
        return;
    }
    // No random source: what the Windows run-time mixes in the same case.
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);  // cannot fail on XP and later
    __stack_chk_guard ^= static_cast<std::uintptr_t>(counter.QuadPart) ^ GetTickCount64() ^
                         (static_cast<std::uintptr_t>(GetCurrentProcessId()) << 32) ^
                         GetCurrentThreadId() ^ reinterpret_cast<std::uintptr_t>(&counter);
}

// A smashed frame may not run anything of the program's, not even its crash
// hand-off: fail fast where the system offers it (int 0x29 with the reason in
// ecx; this toolchain has no __fastfail), else end the process, else trap.
[[noreturn]] static void FailFast(unsigned int code) {
    if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) asm volatile("int $0x29" : : "c"(code));
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
    __builtin_trap();
}

[[noreturn]] void __stack_chk_fail() { FailFast(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE); }

// A fortified copy or fill found its destination too small.
[[noreturn]] void __chk_fail() { FailFast(FAST_FAIL_RANGE_CHECK_FAILURE); }
}
