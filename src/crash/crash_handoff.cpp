#include "crash/crash_handoff.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "common/handles.h"
#include "common/msvcrt_runtime.h"
#include "common/path_buffer.h"
#include "crash/crash_hooks.h"
#include "crash/fault_record_capture.h"
#include "crash/handoff_settings.h"
#include "crash/handoff.h"
#include "crash/stack_reserve.h"
#include "crash/uploader_start.h"

namespace {

// x86-64: xor eax, eax; ret 0. Every later SetUnhandledExceptionFilter
// through kernel32's entry installs nothing and returns null.
constexpr unsigned char kFilterEntryPatch[] = {0x33, 0xC0, 0xC2, 0x00, 0x00};

// Stack kept free on the arming thread for the hand-off after a stack
// overflow: exception dispatch, the filter, and CreateProcessW when the
// thread starts its report itself, with room for what Windows may hook into
// the start.
constexpr ULONG kStackGuarantee = 128 * 1024;

// Every thread started after arming keeps this much for the dispatch of its
// stack overflow and the hand-over to the hand-off thread; threads with a
// stack this small many times over keep all of it.
constexpr ULONG kNewThreadStackGuarantee = 16 * 1024;
constexpr SIZE_T kSmallestPreparedStack = 8 * kNewThreadStackGuarantee;

// Only with a hand-off thread: without it a thread's hook does the work on
// what is left of its stack, and a guarantee this small would not carry it.
std::atomic<bool> prepareNewThreads{false};

// Called by the loader for every thread that starts in the process, before
// the thread's own code runs.
void NTAPI PrepareNewThread(void*, DWORD reason, void*) {
    if (reason == DLL_THREAD_ATTACH && prepareNewThreads.load(std::memory_order_acquire))
        ReserveStackForHandOff(kNewThreadStackGuarantee, kSmallestPreparedStack);
}

void PatchFilterEntry() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    auto* entry =
        reinterpret_cast<unsigned char*>(GetProcAddress(kernel, "SetUnhandledExceptionFilter"));
    if (!entry || IsBadReadPtr(entry, sizeof(kFilterEntryPatch))) return;
    DWORD oldProtection = 0;
    if (!VirtualProtect(entry, sizeof(kFilterEntryPatch), PAGE_EXECUTE_READWRITE, &oldProtection))
        return;
    std::memcpy(entry, kFilterEntryPatch, sizeof(kFilterEntryPatch));
    // The entry has just run: no processor may go on with its old bytes.
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof(kFilterEntryPatch));
    VirtualProtect(entry, sizeof(kFilterEntryPatch), oldProtection, &oldProtection);
}

// Faults inside callbacks from the system (window procedures and the like)
// would otherwise be swallowed on some 64-bit systems instead of reaching
// the filter.
void StopSwallowingCallbackFaults() {
    using GetPolicy = BOOL(WINAPI*)(DWORD*);
    using SetPolicy = BOOL(WINAPI*)(DWORD);
    constexpr DWORD kCallbackFilterEnabled = 0x1;
    UniqueModule kernel(LoadLibraryW(L"kernel32.dll"));
    if (!kernel) return;
    auto setPolicy = reinterpret_cast<SetPolicy>(
        GetProcAddress(kernel.get(), "SetProcessUserModeExceptionPolicy"));
    auto getPolicy = reinterpret_cast<GetPolicy>(
        GetProcAddress(kernel.get(), "GetProcessUserModeExceptionPolicy"));
    DWORD flags = 0;
    if (setPolicy && getPolicy && getPolicy(&flags)) setPolicy(flags & ~kCallbackFilterEnabled);
}

}  // namespace

// The program's TLS callbacks are what the loader calls for each new thread;
// mingw's run-time keeps its own in the same section group.
extern "C" __attribute__((section(".CRT$XLF"), used))
const PIMAGE_TLS_CALLBACK extrunPrepareNewThread = PrepareNewThread;

// GCC fills a pure virtual slot with this name and leaves it a weak
// reference, which pulls nothing from the static libraries: without this
// definition a pure call jumps to address 0. It lives beside CrashHandOff so
// that arming links it in.
extern "C" [[noreturn]] void __cxa_pure_virtual() {
    crash_hooks::PureCall();
    std::abort();
}

CrashHandOff::CrashHandOff(const wchar_t* source, const wchar_t* version, unsigned char rep,
                           bool restart) {
    handOffSettings.rep = rep;
    handOffSettings.restart = restart ? 1 : 0;
    std::memset(handOffSettings.source, 0, sizeof(handOffSettings.source));
    std::memset(handOffSettings.version, 0, sizeof(handOffSettings.version));
    CopyBounded(handOffSettings.version, version);
    CopyBounded(handOffSettings.source, source);

    PrepareUploaderStarts();
    // Without its own thread the hand-off runs on each faulting thread.
    const bool handOffThread = StartHandOffThreads();
    InstallProcessHooks();
    InstallThreadHooks();
    prepareNewThreads.store(handOffThread, std::memory_order_release);
}

// Installed for the life of the process; nothing is ever uninstalled, and
// whatever was installed before is dropped.
void InstallProcessHooks() {
    SetUnhandledExceptionFilter(LaunchUploader);
    PatchFilterEntry();

    runtime::SetPurecallHandler(crash_hooks::PureCall);
    std::set_new_handler(crash_hooks::OutOfMemory);
    runtime::SetNewHandler(crash_hooks::RuntimeOutOfMemory);
    runtime::SetInvalidParameterHandler(crash_hooks::InvalidParameter);
    runtime::SetAbortBehavior(_CALL_REPORTFAULT, _CALL_REPORTFAULT);

    signal(SIGABRT, crash_hooks::AbortSignal);
    signal(SIGINT, crash_hooks::InterruptSignal);
    signal(SIGTERM, crash_hooks::TerminationSignal);

    StopSwallowingCallbackFaults();
    StartFaultRecordCapture();
}

void InstallThreadHooks() {
    std::set_terminate(crash_hooks::Terminate);
    std::set_unexpected(crash_hooks::Unexpected);
    signal(SIGFPE, crash_hooks::FloatingPointSignal);
    signal(SIGILL, crash_hooks::IllegalInstructionSignal);
    signal(SIGSEGV, crash_hooks::SegmentationSignal);
    ReserveStackForHandOff(kStackGuarantee, 0);
}
