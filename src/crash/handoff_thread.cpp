#include "crash/handoff_thread.h"

#include <atomic>

#include "common/handles.h"
#include "crash/stack_reserve.h"

namespace {

// ShellExecuteExW and the process creation under it, with room to spare:
// the shell may run extension code of its own there. Only reserved on
// Windows; Wine commits it, though untouched pages stay out of the working
// set.
constexpr SIZE_T kHandOffStack = 1024 * 1024;

// How long starting an uploader may take. Past it the thread that starts it
// is taken to wait for a lock that another thread holds and may never give
// back.
DWORD startBoundMs = 30 * 1000;
constexpr DWORD kPollMs = 250;

// A start that hangs on a faulting thread ends the process with the fault's
// code; a hook without a system record has none and ends it as abort does.
constexpr UINT kNoRecordExitCode = 3;

// Where the thread's block keeps the process block's address, and where
// that keeps the loader lock's (x64).
constexpr size_t kProcessBlockOffset = 0x60;
constexpr size_t kLoaderLockOffset = 0x110;

// The one request handed over at a time: posted by its hook, claimed by the
// thread that starts it, decided, and freed by its hook once its uploader
// has ended. A hook that gives up on a claimed start leaves it abandoned;
// the starter frees it when the start comes back.
enum class Stage { kFree, kPosted, kStarting, kStarted, kFailed, kAbandoned };

struct Request {
    Stage stage;
    ULONG sequence;
    EXCEPTION_POINTERS* pointers;
    DWORD faultingThread;
    DWORD starter;
    ULONGLONG postedAt;
    HANDLE process;
};

// A start on a faulting thread, with nobody on the other side to give up:
// whichever thread waits meanwhile watches its bound.
struct WatchedStart {
    std::atomic<ULONGLONG> since;
    std::atomic<DWORD> code;
};

// Process lifetime: made while arming, never closed.
struct HandOff {
    SRWLOCK guard;  // over `request` and `servedSequence`
    Request request;
    ULONG servedSequence;  // the request the hand-off thread last took up
    HANDLE requested;      // a request was posted
    HANDLE decided;        // the request's start succeeded or failed
    HANDLE turn;           // the request is free for the next hook
    HANDLE watch;          // a start began on a faulting thread
    DWORD threadId;
    // Since when the hand-off thread has been in a start; 0 while idle.
    std::atomic<ULONGLONG> busySince;
    // The hand-off thread met a fault of its own: it serves no more.
    std::atomic<bool> lost;
    std::atomic<int> active;             // hooks whose own work is not over
    std::atomic<int> loaderLockHolders;  // of those, the ones holding it
    std::atomic<int> uploadersRunning;   // started and not yet seen to end
    WatchedStart watched[4];             // a fifth at once is not bounded
};
HandOff handOff = {};

class RequestGuard {
public:
    RequestGuard() { AcquireSRWLockExclusive(&handOff.guard); }
    ~RequestGuard() { ReleaseSRWLockExclusive(&handOff.guard); }
    RequestGuard(const RequestGuard&) = delete;
    RequestGuard& operator=(const RequestGuard&) = delete;
};

bool IsPast(ULONGLONG since) { return since && GetTickCount64() - since >= startBoundMs; }

DWORD CodeOf(const EXCEPTION_POINTERS* pointers) {
    return pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
}

// Under the guard.
void FreeRequest() {
    handOff.request.stage = Stage::kFree;
    SetEvent(handOff.turn);
}

// A fault inside a DLL's initialisation, or anywhere else under the loader
// lock: the hand-off thread would wait for that lock as soon as it looks
// for the uploader, so the thread holding it, which may take it again, does
// the work.
bool HoldsLoaderLock() {
    const auto* teb = reinterpret_cast<const BYTE*>(ThreadInformationBlock());
    const auto* peb = *reinterpret_cast<const BYTE* const*>(teb + kProcessBlockOffset);
    const auto* lock = *reinterpret_cast<CRITICAL_SECTION* const*>(peb + kLoaderLockOffset);
    return lock && HandleToULong(lock->OwningThread) == GetCurrentThreadId();
}

// Ends the process once a start on a faulting thread has hung past the
// bound, when no uploader reads the process any more.
void EndIfAStartHangs() {
    if (handOff.uploadersRunning > 0) return;
    for (const WatchedStart& start : handOff.watched)
        if (IsPast(start.since)) {
            const DWORD code = start.code;
            TerminateProcess(GetCurrentProcess(), code ? code : kNoRecordExitCode);
        }
}

bool AnyWatchedStart() {
    for (const WatchedStart& start : handOff.watched)
        if (start.since) return true;
    return false;
}

class WatchedStartScope {
public:
    explicit WatchedStartScope(DWORD code) {
        for (WatchedStart& start : handOff.watched) {
            ULONGLONG free = 0;
            if (!start.since.compare_exchange_strong(free, GetTickCount64())) continue;
            start.code = code;
            start_ = &start;
            break;
        }
        if (handOff.watch) SetEvent(handOff.watch);
    }
    ~WatchedStartScope() {
        if (start_) start_->since = 0;
    }
    WatchedStartScope(const WatchedStartScope&) = delete;
    WatchedStartScope& operator=(const WatchedStartScope&) = delete;

private:
    WatchedStart* start_ = nullptr;
};

HANDLE StartPrepared(bool found, const UploaderStart& start) {
    const HANDLE process = found ? StartPreparedUploader(start) : nullptr;
    if (process) ++handOff.uploadersRunning;
    return process;
}

void ReleaseUploader(HANDLE process) {
    CloseHandle(process);
    --handOff.uploadersRunning;
}

// Starts the uploader on the calling thread, a faulting one.
HANDLE StartHere(EXCEPTION_POINTERS* pointers, DWORD faultingThread) {
    WatchedStartScope watched(CodeOf(pointers));
    UploaderStart start = {};
    const bool found = PrepareUploaderStart(pointers, faultingThread, start);
    return StartPrepared(found, start);
}

// Tells the hook how its start went; a start whose hook has left is let go.
void Decide(ULONG sequence, HANDLE process) {
    {
        RequestGuard guard;
        Request& request = handOff.request;
        if (request.sequence == sequence && request.starter == GetCurrentThreadId()) {
            if (request.stage == Stage::kStarting) {
                request.process = process;
                request.stage = process ? Stage::kStarted : Stage::kFailed;
                SetEvent(handOff.decided);
                return;
            }
            if (request.stage == Stage::kAbandoned) FreeRequest();
        }
    }
    if (process) ReleaseUploader(process);
}

// Takes up a posted request; false when there is none.
bool Claim(ULONG* sequence, EXCEPTION_POINTERS** pointers, DWORD* faultingThread) {
    RequestGuard guard;
    Request& request = handOff.request;
    if (request.stage != Stage::kPosted) return false;
    request.stage = Stage::kStarting;
    request.starter = GetCurrentThreadId();
    *sequence = request.sequence;
    *pointers = request.pointers;
    *faultingThread = request.faultingThread;
    return true;
}

// While a thread that holds the loader lock is in a hook, the hand-off
// thread waits for that lock; that thread starts what is handed over
// meanwhile.
void ServeWhileHoldingLoaderLock() {
    ULONG sequence = 0;
    EXCEPTION_POINTERS* pointers = nullptr;
    DWORD faultingThread = 0;
    if (HoldsLoaderLock() && Claim(&sequence, &pointers, &faultingThread))
        Decide(sequence, StartHere(pointers, faultingThread));
}

// The uploader is found before the request is claimed: finding it may wait
// for the loader lock, and the thread holding it may start it meanwhile.
void ServeOnHandOffThread() {
    ULONG sequence = 0;
    EXCEPTION_POINTERS* pointers = nullptr;
    DWORD faultingThread = 0;
    {
        RequestGuard guard;
        const Request& request = handOff.request;
        if (request.stage != Stage::kPosted) return;
        sequence = handOff.servedSequence = request.sequence;
        pointers = request.pointers;
        faultingThread = request.faultingThread;
    }
    handOff.busySince = GetTickCount64();
    UploaderStart start = {};
    const bool found = PrepareUploaderStart(pointers, faultingThread, start);
    bool claimed = false;
    {
        RequestGuard guard;
        Request& request = handOff.request;
        claimed = request.sequence == sequence && request.stage == Stage::kPosted;
        if (claimed) {
            request.stage = Stage::kStarting;
            request.starter = GetCurrentThreadId();
        }
    }
    if (claimed) Decide(sequence, StartPrepared(found, start));
    handOff.busySince = 0;
}

DWORD WINAPI HandOffLoop(void*) {
    const HANDLE wakeUps[] = {handOff.requested, handOff.watch};
    while (!handOff.lost) {
        const DWORD woken =
            WaitForMultipleObjects(2, wakeUps, FALSE, AnyWatchedStart() ? kPollMs : INFINITE);
        if (woken == WAIT_FAILED) return 0;
        if (woken == WAIT_OBJECT_0) ServeOnHandOffThread();
        EndIfAStartHangs();
    }
    return 0;
}

// A fault of the hand-off thread ends the request it was taking up as a
// failed start, and any posted one: nobody else would start them.
void FailServedRequest() {
    RequestGuard guard;
    Request& request = handOff.request;
    if (request.stage == Stage::kPosted ||
        (request.stage == Stage::kStarting && request.starter == handOff.threadId &&
         request.sequence == handOff.servedSequence)) {
        request.stage = Stage::kFailed;
        SetEvent(handOff.decided);
    }
}

// Waits for an uploader to end; a thread holding the loader lock serves
// meanwhile.
void AwaitUploader(HANDLE process) {
    while (WaitForSingleObject(process, HoldsLoaderLock() ? kPollMs : INFINITE) == WAIT_TIMEOUT)
        ServeWhileHoldingLoaderLock();
    ReleaseUploader(process);
}

void ReportHere(EXCEPTION_POINTERS* pointers) {
    if (const HANDLE process = StartHere(pointers, GetCurrentThreadId())) AwaitUploader(process);
}

// One request through the hand-off thread, from its turn to the end of its
// uploader. False when that thread has met a fault of its own meanwhile.
bool HandOverAndWait(EXCEPTION_POINTERS* pointers) {
    for (;;) {
        if (handOff.lost) return false;
        // A hung hand-off thread serves nobody; only a thread holding the
        // loader lock could still start the uploader.
        if (IsPast(handOff.busySince) && handOff.loaderLockHolders == 0) return true;
        {
            RequestGuard guard;
            Request& request = handOff.request;
            if (request.stage == Stage::kFree) {
                request.stage = Stage::kPosted;
                ++request.sequence;
                request.pointers = pointers;
                request.faultingThread = GetCurrentThreadId();
                request.postedAt = GetTickCount64();
                break;
            }
        }
        WaitForSingleObject(handOff.turn, kPollMs);
        EndIfAStartHangs();
    }
    SetEvent(handOff.requested);
    HANDLE process = nullptr;
    while (!process) {
        WaitForSingleObject(handOff.decided, kPollMs);
        EndIfAStartHangs();
        RequestGuard guard;
        Request& request = handOff.request;
        if (request.stage == Stage::kStarted) {
            process = request.process;
        } else if (request.stage == Stage::kFailed) {
            FreeRequest();
            return true;
        } else if (IsPast(request.postedAt)) {
            if (request.stage == Stage::kPosted)
                FreeRequest();
            else
                request.stage = Stage::kAbandoned;
            return true;
        }
    }
    AwaitUploader(process);
    RequestGuard guard;
    FreeRequest();
    return true;
}

}  // namespace

bool StartHandOffThread() {
    if (handOff.threadId) return true;
    UniqueHandle requested(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle decided(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle turn(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle watch(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!requested || !decided || !turn || !watch) return false;
    handOff.requested = requested.get();
    handOff.watch = watch.get();
    DWORD id = 0;
    // The thread runs until the process ends; its handle is not needed.
    const UniqueHandle thread(CreateThread(nullptr, kHandOffStack, HandOffLoop, nullptr,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, &id));
    if (!thread) {
        handOff.requested = handOff.watch = nullptr;
        return false;
    }
    requested.release();
    watch.release();
    handOff.decided = decided.release();
    handOff.turn = turn.release();
    handOff.threadId = id;
    return true;
}

void HandOverFault(EXCEPTION_POINTERS* pointers) {
    ++handOff.active;
    if (GetCurrentThreadId() == handOff.threadId) {
        handOff.lost = true;
        FailServedRequest();
    }
    const bool holdsLoaderLock = HoldsLoaderLock();
    if (holdsLoaderLock) ++handOff.loaderLockHolders;
    if (!handOff.threadId || handOff.lost || holdsLoaderLock || !HandOverAndWait(pointers))
        ReportHere(pointers);
    --handOff.active;
    // The process may end when this hook returns: the hooks still at work
    // finish first.
    while (handOff.active > 0) {
        ServeWhileHoldingLoaderLock();
        EndIfAStartHangs();
        Sleep(kPollMs);
    }
    if (holdsLoaderLock) --handOff.loaderLockHolders;
}

ScopedStartBoundForTesting::ScopedStartBoundForTesting(DWORD milliseconds)
    : previous_(startBoundMs) {
    startBoundMs = milliseconds;
}

ScopedStartBoundForTesting::~ScopedStartBoundForTesting() { startBoundMs = previous_; }
