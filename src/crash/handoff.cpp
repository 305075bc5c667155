#include "crash/handoff.h"

#include <algorithm>
#include <atomic>
#include <iterator>

#include "common/handles.h"
#include "crash/stack_reserve.h"
#include "crash/uploader_start.h"

// The hand-off's rules. Every function below keeps them; a case they do not
// cover is a reason to change them here, not to add a branch.
//
// 1. A thread's fault is one report, taken from a table set aside in the
//    image with room for a synthetic record: no hook allocates, and a thread
//    holds one report at a time. When every report is taken, a fault ends the
//    process with its code once no uploader runs and none is being started.
// 2. A report is started by a thread that holds the loader lock, which keeps
//    it until that report's uploader has ended. So one report starts at a
//    time, uploaders run one after the other, and no thread can take the lock
//    and then fault while a start that may need it is under way. Under the
//    lock only the calls listed below are made.
// 3. The hand-off thread, made while arming with a stack of its own, takes
//    the lock only when it is free. A hook whose thread holds the lock
//    already starts every posted report itself, its own in line with the
//    others; so does every hook when the hand-off thread is not there, has
//    ended, or is the hook's own thread. A thread without stack enough for a
//    start starts nothing; if it holds the lock, nobody can, and the process
//    ends at once with its fault's code.
// 4. A report waits to start at most the bound (30 s) after its fault or
//    after the end of the last uploader, whichever is later, both read from
//    the tick count, which no clock change moves; an uploader's end is when
//    a thread first sees it ended. Every wait in the hand-off but the wait
//    for an uploader that has started ends then at the latest. The watcher,
//    a thread made while arming that waits on nothing but its clock, ends the
//    process then with that report's code; so does every hook that waits
//    meanwhile, for when there is no watcher.
// 5. A hook returns only once no report is pending (posted, or being started
//    by another thread): the process does not end while an uploader runs or a
//    report that can still start waits.
// 6. A fault inside a thread's own hook starts no second report: a fault
//    ends the process with the first fault's code, once no uploader runs; any
//    other hook there (abort, a raised signal) makes the start it cut short
//    again and returns. Any hook on a thread that is starting another thread's
//    report puts that report back in line ahead of its own. A start is made
//    again once at most; one that goes on after it was made again finds its
//    report taken and ends the uploader it made.
// 7. A thread ended inside its hook holds up nobody: its report stays in the
//    table, where it is started or passes its deadline like any other, and is
//    then free for the next fault that needs room. Ended while it holds the
//    loader lock, it leaves the lock held: no report starts after it, and the
//    next deadline ends the process.
// 8. No uploader is left behind: every uploader is started in one job, and
//    whoever puts a cut-short start back in line, or ends the process at a
//    deadline, first ends whatever runs in it that nobody awaits (as after a
//    starter ended inside CreateProcessW, its uploader made but never run);
//    the job ends what is left when the process ends by other means.
//
// What runs under the loader lock: ntdll and kernel32 calls that wait on no
// thread of this process and load nothing. Microsoft's DLL best practices
// forbid, under the lock, loading a DLL, COM, the registry, the shell and
// user32, and waiting on other threads; none of these is called.
// - GetFileAttributesW for each candidate: a file-system query.
// - CreateProcessW with a program path, no handle inheritance, start-up
//   information alone: the kernel makes the process and the subsystem is
//   told; no shell, association, COM or extension code runs. The guidelines
//   list it because it may load a DLL; a load on a thread that holds the
//   lock itself enters the lock again instead of waiting for it. It takes
//   the process heap: a thread that holds the heap for good holds the start
//   until its deadline.
// - WaitForSingleObject on the uploader's process, another process: its end
//   needs nothing of this one.
// - CloseHandle, TerminateProcess, TerminateJobObject, AssignProcessToJobObject
//   (before Windows 10), DuplicateHandle of the own thread, SetEvent,
//   TryEnterCriticalSection and LeaveCriticalSection on the loader lock,
//   GetTickCount64, Sleep, GetCurrentThreadId, VirtualQuery of the own
//   stack, WaitForSingleObject with no time on thread handles: kernel
//   objects and the thread's own state.
// - In the hooks: RtlCaptureContext, RtlLookupFunctionEntry and
//   RtlVirtualUnwind for a synthetic record (the image's own unwind data),
//   TlsGetValue, TlsSetValue, GetLastError and SetLastError; and msvcrt's
//   signal(), which a signal hook calls to stay installed: it writes the
//   handler where the run-time found this one, allocating nothing.
// The candidates, the command line's fixed parts and the job are made while
// arming; the command line is put together on the stack without the run-time.

namespace {

// Faulting threads in the hand-off at once.
constexpr size_t kReportCount = 32;

// Room for CreateProcessW, and for code injected into it on Windows.
constexpr SIZE_T kStartStack = 64 * 1024;

// The hand-off thread's stack: CreateProcessW and whatever hooks it, with
// room to spare. Only reserved on Windows; Wine commits it, though untouched
// pages stay out of the working set.
constexpr SIZE_T kHandOffStack = 1024 * 1024;
// The watcher reads the table and the clock.
constexpr SIZE_T kWatcherStack = 64 * 1024;

DWORD startBoundMs = 30 * 1000;
constexpr DWORD kThreadsStartBoundMs = 5 * 1000;
constexpr DWORD kPollMs = 20;

// A report without a system record ends the process as abort does.
constexpr DWORD kNoRecordExitCode = 3;

// Where the thread's block keeps the process block's address, and where
// that keeps the loader lock's (x64).
constexpr size_t kProcessBlockOffset = 0x60;
constexpr size_t kLoaderLockOffset = 0x110;

// While an uploader runs, uploaderState holds this bit and the uploader's
// number; else the tick at which the last one was first seen ended.
constexpr ULONGLONG kUploaderRuns = ULONGLONG{1} << 63;

enum State : LONG {
    kHeld,      // its thread is in a hook; nothing posted yet
    kPosted,    // in line to start
    kStarting,  // taken up under the loader lock until its uploader has ended
    kOver,      // its uploader has ended, or it could not be started
};

struct Report {
    std::atomic<DWORD> thread;  // the thread holding it; 0 when free
    // That thread, for telling whether it has ended: another thread may get
    // its id then, and the report may be taken again once it is over. Null
    // when it could not be had: the id alone counts then.
    HANDLE self;
    std::atomic<LONG> state;     // the fields below are written before kPosted
    std::atomic<DWORD> starter;  // while kStarting
    std::atomic<ULONG> starts;   // how often it was taken up: a start tells its own by it
    EXCEPTION_POINTERS* pointers;
    DWORD code;  // what the process ends with when it cannot start
    ULONGLONG faultAt;
    ULONG place;  // in line: the oldest starts first
    SyntheticRecord synthetic;
};

// Process lifetime, as is everything below. Placed in the zero-filled
// section by name: with a section per variable, the compiler would store
// these 48 KB of zeros in the file.
__attribute__((section(".bss"))) Report reports[kReportCount];
std::atomic<ULONG> lastPlace{0};

HANDLE wake = nullptr;           // a report was posted: for the hand-off thread
HANDLE watch = nullptr;          // the same, for the watcher
HANDLE handOffThread = nullptr;  // kept open: hooks look whether it still runs
DWORD handOffThreadId = 0;

// The uploader of the report being started, set and cleared by its starter,
// and the state above (0: none has run yet). Numbering the uploaders keeps a
// thread that looked at one from marking the next ended.
std::atomic<HANDLE> runningUploader{nullptr};
std::atomic<ULONGLONG> uploaderState{0};
std::atomic<ULONGLONG> uploadersStarted{0};
// The hand-off's own threads that have passed the loader's start-up.
std::atomic<LONG> threadsRunning{0};

DWORD CodeOf(const EXCEPTION_POINTERS* pointers) {
    return pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
}

CRITICAL_SECTION* LoaderLock() {
    const auto* teb = reinterpret_cast<const BYTE*>(ThreadInformationBlock());
    const auto* peb = *reinterpret_cast<const BYTE* const*>(teb + kProcessBlockOffset);
    return *reinterpret_cast<CRITICAL_SECTION* const*>(peb + kLoaderLockOffset);
}

bool HoldsLoaderLock() { return HandleToULong(LoaderLock()->OwningThread) == GetCurrentThreadId(); }

bool HasStackToStart() {
    MEMORY_BASIC_INFORMATION stack = {};
    return VirtualQuery(&stack, &stack, sizeof(stack)) &&
           static_cast<SIZE_T>(reinterpret_cast<char*>(&stack) -
                               static_cast<char*>(stack.AllocationBase)) >= kStartStack;
}

bool HasEnded(HANDLE thread) { return thread && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

// A report of the calling thread's id whose thread has ended was left by
// another thread.
Report* OwnReport() {
    const DWORD me = GetCurrentThreadId();
    for (Report& report : reports)
        if (report.thread == me && !HasEnded(report.self)) return &report;
    return nullptr;
}

// A free report, or one left by a thread that ended in its hook once nothing
// is left to do for it (rule 7).
Report* TakeFreeReport() {
    for (Report& report : reports) {
        DWORD holder = report.thread;
        const LONG state = report.state;
        const bool left = holder && (state == kHeld || state == kOver) && HasEnded(report.self);
        if ((holder && !left) ||
            !report.thread.compare_exchange_strong(holder, GetCurrentThreadId()))
            continue;
        if (report.self) CloseHandle(report.self);
        report.self = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &report.self,
                        SYNCHRONIZE, FALSE, 0);
        report.state = kHeld;
        return &report;
    }
    return nullptr;
}

// Rule 4: posted or being started, by anyone.
bool Waits(const Report& report) {
    const LONG state = report.state;
    return state == kPosted || state == kStarting;
}

// What a hook waits for (rule 5). A report this thread is starting waits for
// this hook instead: its start goes on when the hook returns.
bool IsPending(const Report& report) {
    return report.state == kPosted ||
           (report.state == kStarting && report.starter != GetCurrentThreadId());
}

bool AnyPending() { return std::any_of(std::begin(reports), std::end(reports), IsPending); }
bool AnyWaiting() { return std::any_of(std::begin(reports), std::end(reports), Waits); }

// Whether an uploader runs; if not, `idleSince` is the tick at which the last
// one was first seen ended. Whoever looks first after its end marks it, so it
// holds when the thread that awaited it is gone.
bool UploaderRuns(ULONGLONG* idleSince) {
    // A handle closed meanwhile, or handed out again, is no longer that
    // uploader's: its starter has marked the end, or started the next one,
    // and the exchange below fails.
    ULONGLONG state = uploaderState;
    if (state & kUploaderRuns)
        if (const HANDLE process = runningUploader;
            process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            uploaderState.compare_exchange_strong(state, GetTickCount64());
    *idleSince = uploaderState;
    return *idleSince & kUploaderRuns;
}

// Rule 8.
[[noreturn]] void EndProcess(DWORD code) {
    EndStartedUploaders();
    TerminateProcess(GetCurrentProcess(), code);
    for (;;) Sleep(INFINITE);  // the process ends under this thread
}

// Rule 4.
void EndIfPastDeadline() {
    ULONGLONG idleSince = 0;
    if (UploaderRuns(&idleSince)) return;
    const ULONGLONG now = GetTickCount64();
    for (const Report& report : reports)
        if (Waits(report) && now >= std::max(report.faultAt, idleSince) + startBoundMs)
            EndProcess(report.code);
}

// Rules 1, 3 and 6: this fault cannot be reported, and the process ends once
// no uploader reads it and no other thread is starting one, which ends by its
// deadline at the latest.
[[noreturn]] void EndOnceNoUploaderRuns(DWORD code) {
    const auto startingElsewhere = [](const Report& report) {
        return report.state == kStarting && report.starter != GetCurrentThreadId();
    };
    ULONGLONG idleSince = 0;
    while (UploaderRuns(&idleSince) ||
           std::any_of(std::begin(reports), std::end(reports), startingElsewhere)) {
        EndIfPastDeadline();
        Sleep(kPollMs);
    }
    EndProcess(code);
}

// Under the loader lock, which makes this thread the only one taking up
// reports.
Report* TakeOldestPosted() {
    Report* oldest = nullptr;
    for (Report& report : reports)
        if (report.state == kPosted && (!oldest || report.place < oldest->place)) oldest = &report;
    if (oldest) {
        ++oldest->starts;
        oldest->starter = GetCurrentThreadId();
        oldest->state = kStarting;
    }
    return oldest;
}

// Rule 2: under the loader lock, until the uploader has ended. Rule 6: a
// hook on this thread may have put the report back and seen it made while
// the start was cut short; the start then ends what it made and leaves the
// report alone.
void StartAndAwait(Report& report) {
    const ULONG taken = report.starts;
    const HANDLE process = StartUploader(report.pointers, report.thread);
    if (report.starts != taken) {
        if (process) TerminateProcess(process, ERROR_PROCESS_ABORTED), CloseHandle(process);
        return;
    }
    if (process) {
        // The handle first: whoever sees this uploader's number finds it.
        ULONGLONG runs = kUploaderRuns | ++uploadersStarted;
        runningUploader = process;
        uploaderState = runs;
        // A wait that fails leaves nothing to wait for: the handle is not one.
        WaitForSingleObject(process, INFINITE);
        uploaderState.compare_exchange_strong(runs, GetTickCount64());
        runningUploader = nullptr;
        CloseHandle(process);
    }
    report.state = kOver;
}

// Rules 2 and 3: every posted report, oldest first, if the loader lock can be
// had without waiting.
void StartPostedReports() {
    CRITICAL_SECTION* const lock = LoaderLock();
    if (!TryEnterCriticalSection(lock)) return;
    while (Report* report = TakeOldestPosted()) StartAndAwait(*report);
    LeaveCriticalSection(lock);
}

// Rule 3.
bool StartsReportsHere() {
    return HoldsLoaderLock() || GetCurrentThreadId() == handOffThreadId || !handOffThread ||
           HasEnded(handOffThread);
}

// Rules 6 and 8: the start this thread was making when its hook was called,
// unless it was made again already: a start cut short every time is not
// tried without end.
void PutBackCutShortStart() {
    for (Report& report : reports)
        if (report.state == kStarting && report.starter == GetCurrentThreadId() &&
            report.starts == 1) {
            EndStartedUploaders();
            report.state = kPosted;
        }
}

// Rules 3, 4 and 5.
void WaitUntilNothingPending(DWORD code) {
    for (;;) {
        if (StartsReportsHere()) {
            if (HasStackToStart())
                StartPostedReports();
            else if (HoldsLoaderLock())
                EndOnceNoUploaderRuns(code);
        }
        if (!AnyPending()) return;
        EndIfPastDeadline();
        Sleep(kPollMs);
    }
}

DWORD WINAPI HandOffLoop(void*) {
    ++threadsRunning;
    for (;;) {
        if (WaitForSingleObject(wake, AnyPending() ? kPollMs : INFINITE) == WAIT_FAILED) return 0;
        StartPostedReports();
    }
}

// Rule 4: waits on nothing but its event and the clock, so nothing a start
// waits for can hold it.
DWORD WINAPI WatchDeadlines(void*) {
    ++threadsRunning;
    for (;;) {
        if (WaitForSingleObject(watch, AnyWaiting() ? kPollMs : INFINITE) == WAIT_FAILED) return 0;
        EndIfPastDeadline();
    }
}

// A thread of the hand-off's own, woken by the event it is handed; null when
// either cannot be had.
HANDLE MakeThread(LPTHREAD_START_ROUTINE body, SIZE_T stack, HANDLE* event, DWORD* id) {
    UniqueHandle made(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!made) return nullptr;
    *event = made.get();
    const HANDLE thread =
        CreateThread(nullptr, stack, body, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, id);
    if (!thread) {
        *event = nullptr;
        return nullptr;
    }
    made.release();
    return thread;
}

}  // namespace

bool StartHandOffThreads() {
    if (handOffThread) return true;
    DWORD id = 0;
    // The watcher first: without the hand-off thread, hooks start reports on
    // their own threads, and it is what bounds those starts. Kept for the
    // life of the process, as the hand-off thread is.
    if (const HANDLE watcher = MakeThread(WatchDeadlines, kWatcherStack, &watch, &id))
        CloseHandle(watcher);
    handOffThread = MakeThread(HandOffLoop, kHandOffStack, &wake, &id);
    handOffThreadId = handOffThread ? id : 0;
    // A new thread waits for the loader lock before its code runs: taken
    // first (the extension's DllMain runs under it), the lock would keep the
    // watcher from ever running. So arming returns once both run, or after
    // the bound, should something hold the lock already.
    const LONG made = (watch != nullptr) + (handOffThread != nullptr);
    for (const ULONGLONG until = GetTickCount64() + kThreadsStartBoundMs;
         threadsRunning < made && GetTickCount64() < until;)
        Sleep(1);
    return handOffThread != nullptr;
}

SyntheticRecord* SyntheticRecordRoom() {
    Report* report = OwnReport();
    if (!report) report = TakeFreeReport();
    return report && report->state == kHeld ? &report->synthetic : nullptr;
}

LONG WINAPI LaunchUploader(EXCEPTION_POINTERS* pointers) {
    const DWORD code = CodeOf(pointers);
    Report* report = OwnReport();
    if (report && report->state != kHeld) {
        if (code) EndOnceNoUploaderRuns(report->code);
        // abort or terminate, say, inside this thread's own start: the start
        // is made again now, as the handler may never return to it.
        PutBackCutShortStart();
        WaitUntilNothingPending(report->code);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    if (!report) report = TakeFreeReport();
    if (!report) EndOnceNoUploaderRuns(code ? code : kNoRecordExitCode);
    PutBackCutShortStart();
    report->pointers = pointers;
    report->code = code ? code : kNoRecordExitCode;
    report->faultAt = GetTickCount64();
    report->place = ++lastPlace;
    report->state = kPosted;
    if (watch) SetEvent(watch);
    if (wake) SetEvent(wake);
    WaitUntilNothingPending(report->code);
    // The handle is closed only once the report is free: until then another
    // thread may look at it, and a value closed and handed out again could
    // pass for an ended thread.
    const HANDLE self = report->self;
    report->self = nullptr;
    report->state = kHeld;
    report->thread = 0;
    if (self) CloseHandle(self);
    return EXCEPTION_EXECUTE_HANDLER;
}

ScopedStartBoundForTesting::ScopedStartBoundForTesting(DWORD milliseconds)
    : previous_(startBoundMs) {
    startBoundMs = milliseconds;
}

ScopedStartBoundForTesting::~ScopedStartBoundForTesting() { startBoundMs = previous_; }
