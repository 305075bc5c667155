#include "crash/handoff_thread.h"

#include <atomic>

#include "crash/stack_reserve.h"

namespace {

// ShellExecuteExW and the process creation under it, with room to spare:
// the shell may run extension code of its own there. Only reserved on
// Windows; Wine commits it, though untouched pages stay out of the working
// set.
constexpr SIZE_T kHandOffStack = 1024 * 1024;

// How long a faulting thread waits for the uploader to be started. Past it
// the start is taken as failed: the thread that would start it waits for
// a lock that some other thread holds and may never give back.
constexpr ULONGLONG kStartBoundMs = 30 * 1000;
constexpr DWORD kPollMs = 250;

// Where the thread's block keeps the process block's address, and where
// that keeps the loader lock's (x64).
constexpr size_t kProcessBlockOffset = 0x60;
constexpr size_t kLoaderLockOffset = 0x110;

// Process lifetime: made while arming, never closed.
struct HandOff {
    HANDLE slot;       // one request at a time
    HANDLE requested;  // a request waits in `request`
    HANDLE started;    // the uploader started, or could not be
    HANDLE finished;   // and has ended
    DWORD threadId;
    EXCEPTION_POINTERS* pointers;
    DWORD faultingThread;
    std::atomic<bool> startedOk;
    // When the pending request was handed over; 0 while none is waiting to
    // be started.
    std::atomic<ULONGLONG> startingSince;
    // Hooks that have asked and whose uploader has not yet ended.
    std::atomic<int> unserved;
};
HandOff handOff = {};

void ReportAndWait(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    const HANDLE process = StartUploader(pointers, threadId);
    if (!process) return;
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
}

DWORD WINAPI HandOffLoop(void*) {
    while (WaitForSingleObject(handOff.requested, INFINITE) == WAIT_OBJECT_0) {
        const HANDLE process = StartUploader(handOff.pointers, handOff.faultingThread);
        handOff.startedOk = process != nullptr;
        handOff.startingSince = 0;
        SetEvent(handOff.started);
        if (process) {
            WaitForSingleObject(process, INFINITE);
            CloseHandle(process);
        }
        SetEvent(handOff.finished);
        ReleaseSemaphore(handOff.slot, 1, nullptr);
    }
    return 0;
}

bool IsStuckStarting() {
    const ULONGLONG since = handOff.startingSince;
    return since && GetTickCount64() - since >= kStartBoundMs;
}

// Waits for `object` as long as the hand-off is making progress: while an
// uploader runs, without limit; while one is being started, until the
// bound. False when it gave up.
bool WaitWhileProgressing(HANDLE object) {
    for (;;) {
        const DWORD waited = WaitForSingleObject(object, kPollMs);
        if (waited == WAIT_OBJECT_0) return true;
        if (waited != WAIT_TIMEOUT || IsStuckStarting()) return false;
    }
}

// One request through the hand-off thread, from asking for a turn to the
// end of its uploader.
void HandOverAndWait(EXCEPTION_POINTERS* pointers) {
    if (!WaitWhileProgressing(handOff.slot)) return;
    // A request whose thread gave up waiting leaves its signals behind.
    ResetEvent(handOff.started);
    ResetEvent(handOff.finished);
    handOff.pointers = pointers;
    handOff.faultingThread = GetCurrentThreadId();
    handOff.startingSince = GetTickCount64();
    SetEvent(handOff.requested);
    if (!WaitWhileProgressing(handOff.started) || !handOff.startedOk) return;
    WaitForSingleObject(handOff.finished, INFINITE);
}

// A fault inside a DLL's initialisation, or anywhere else under the loader
// lock: the hand-off thread would wait for that lock as soon as anything
// looks a module up, so the faulting thread, which may take it again, does
// the work itself.
bool HoldsLoaderLock() {
    const auto* teb = reinterpret_cast<const BYTE*>(ThreadInformationBlock());
    const auto* peb = *reinterpret_cast<const BYTE* const*>(teb + kProcessBlockOffset);
    const auto* lock = *reinterpret_cast<CRITICAL_SECTION* const*>(peb + kLoaderLockOffset);
    return lock && HandleToULong(lock->OwningThread) == GetCurrentThreadId();
}

}  // namespace

bool StartHandOffThread() {
    if (handOff.threadId) return true;
    handOff.slot = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    handOff.requested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    handOff.started = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    handOff.finished = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!handOff.slot || !handOff.requested || !handOff.started || !handOff.finished) return false;
    DWORD id = 0;
    const HANDLE thread = CreateThread(nullptr, kHandOffStack, HandOffLoop, nullptr,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (!thread) return false;
    // The thread runs until the process ends; its handle is not needed.
    CloseHandle(thread);
    handOff.threadId = id;
    return true;
}

void HandOverFault(EXCEPTION_POINTERS* pointers) {
    const DWORD self = GetCurrentThreadId();
    if (!handOff.threadId || self == handOff.threadId || HoldsLoaderLock()) {
        ReportAndWait(pointers, self);
        return;
    }
    ++handOff.unserved;
    HandOverAndWait(pointers);
    --handOff.unserved;
    // The process may end when this hook returns: threads that faulted
    // meanwhile get their uploader first.
    while (handOff.unserved > 0 && !IsStuckStarting()) Sleep(kPollMs);
}
