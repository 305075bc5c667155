// fault_storm_host.exe <seed>: arms the crash hand-off as the launcher does, with a start bound of
// 2 s, and runs the mix of events the seed draws: threads that fault at random moments (on
// access, by a stack overflow on their small prepared stack, under the loader lock, by a raised
// signal), and around them the heap held for a while or for good, the uploader's start faulting,
// slow or hanging, a thread ended inside its hook. Before anything fails it writes storm.txt
// beside itself: what fault_storm.exe may expect of the reports; and as each thread is about to
// fail, it writes its id and the tick into faults.bin, a mapped file that needs no heap.
#include <windows.h>
#include <process.h>
#include <shellapi.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "crash/crash_handoff.h"
#include "crash/handoff.h"
#include "import_patch.h"
#include "test_support.h"

namespace {

enum Kind { kAccess, kOverflow, kUnderLoaderLock, kSignal, kKinds };
enum StartAction { kPlain, kFault, kSlow, kHang };

struct Fault {
    Kind kind;
    DWORD delayMs;
    bool smallStackUnderLock;  // an overflow while holding the loader lock
};

struct Mix {
    std::vector<Fault> faults;
    DWORD heapHeldMs = 0;  // INFINITE: for good
    StartAction starts[4] = {};
    int ended = -1;  // the fault whose thread is ended inside its hook
    DWORD endedAfterMs = 0;
    bool lossy = false;  // some report may be lost by design
};

Mix DrawMix(unsigned seed) {
    std::mt19937 draw(seed);
    const auto chance = [&](int percent) { return static_cast<int>(draw() % 100) < percent; };
    Mix mix;
    const size_t count = 1 + draw() % 6;
    bool signalled = false;  // the run-time resets a signal's handler as it calls it
    for (size_t i = 0; i < count; ++i) {
        Kind kind = static_cast<Kind>(draw() % kKinds);
        if (kind == kSignal && std::exchange(signalled, true)) kind = kAccess;
        mix.faults.push_back({kind, draw() % 60, kind == kUnderLoaderLock && chance(10)});
        mix.lossy |= mix.faults.back().smallStackUnderLock;
    }
    // The process ends by a fault's filter: the first fault is fatal, and never ended.
    if (mix.faults[0].kind == kSignal) mix.faults[0].kind = kAccess;
    if (chance(25)) mix.heapHeldMs = chance(67) ? 300 : INFINITE;
    for (StartAction& start : mix.starts)
        if (chance(5)) start = static_cast<StartAction>(1 + draw() % 3);
    if (count > 1 && chance(25))
        mix.ended = 1 + draw() % (count - 1), mix.endedAfterMs = draw() % 400;
    for (StartAction start : mix.starts) mix.lossy |= start == kFault || start == kHang;
    // A thread ended while it holds the loader lock leaves it held: nothing starts after it.
    mix.lossy |= mix.ended >= 0 && mix.faults[mix.ended].kind == kUnderLoaderLock;
    mix.lossy |= mix.heapHeldMs == INFINITE;
    return mix;
}

// One slot a fault, in faults.bin; the last slot is the handle probe's.
struct Moment {
    DWORD thread;
    ULONGLONG tick;
};
Moment* moments = nullptr;
constexpr size_t kProbeSlot = 4096 / sizeof(Moment) - 1;
constexpr size_t kEndedSlot = kProbeSlot - 1;

void MapMoments() {
    const HANDLE file =
        CreateFileW(testsupport::BinPath(L"faults.bin").c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    moments = static_cast<Moment*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 4096));
}

Mix mix;
HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
decltype(&CreateProcessW) realCreateProcess = nullptr;

template <typename T>
T Opaque(T value) {
    volatile T kept = value;
    return kept;
}

BOOL WINAPI StormCreateProcess(const wchar_t* program, wchar_t* command,
                               SECURITY_ATTRIBUTES* processSecurity,
                               SECURITY_ATTRIBUTES* threadSecurity, BOOL inherit, DWORD flags,
                               void* environment, const wchar_t* folder, STARTUPINFOW* startup,
                               PROCESS_INFORMATION* made) {
    static LONG calls = 0;
    const LONG call = InterlockedIncrement(&calls) - 1;
    switch (call < 4 ? mix.starts[call] : kPlain) {
        case kFault:
            *Opaque<volatile int*>(nullptr) = 1;
            break;
        case kSlow:
            Sleep(500);
            break;
        case kHang:
            Sleep(INFINITE);
            break;
        case kPlain:
            break;
    }
    return realCreateProcess(program, command, processSecurity, threadSecurity, inherit, flags,
                             environment, folder, startup, made);
}

DWORD Overflow(DWORD depth) {
    volatile char frame[4096];
    frame[0] = 1;
    return Opaque(depth) == MAXDWORD ? 0 : Overflow(depth + 1) + frame[0];
}

unsigned __stdcall RunFault(void* argument) {
    const Fault& fault = *static_cast<const Fault*>(argument);
    WaitForSingleObject(go, INFINITE);
    Sleep(fault.delayMs);
    if (fault.kind == kUnderLoaderLock) {
        ULONG_PTR cookie = 0;
        reinterpret_cast<LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*)>(GetProcAddress(
            GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock"))(0, nullptr, &cookie);
    }
    moments[&fault - mix.faults.data()] = {GetCurrentThreadId(), GetTickCount64()};
    switch (fault.kind) {
        case kUnderLoaderLock: {
            if (fault.smallStackUnderLock) return Overflow(0);
            *Opaque<volatile int*>(nullptr) = 1;
            break;
        }
        case kOverflow:
            return Overflow(0);
        case kSignal:
            raise(SIGTERM);
            break;
        default:
            *Opaque<volatile int*>(nullptr) = 1;
    }
    return 0;
}

HANDLE Thread(unsigned(__stdcall* body)(void*), void* argument) {
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, argument, 0, nullptr));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc < 2) return 2;
    mix = DrawMix(static_cast<unsigned>(_wtoi(argv[1])));
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    realCreateProcess = testsupport::ReplaceImport("CreateProcessW", StormCreateProcess);
    MapMoments();
    static const ScopedStartBoundForTesting bound(2000);
    CrashHandOff handOff(L"storm", L"1.0.0.0", 0, false);

    // Every thread exists before anything fails: a thread still starting needs the heap.
    std::vector<HANDLE> threads;
    static const char* const kKindNames[] = {"access", "overflow", "lock", "signal"};
    std::string notes = "lossy=" + std::to_string(mix.lossy) +
                        "\r\nheap=" + std::to_string(mix.heapHeldMs) + "\r\nstarts=";
    for (StartAction start : mix.starts) notes += std::to_string(start);
    notes += "\r\nended_after=" + std::to_string(mix.endedAfterMs) + "\r\n";
    for (size_t i = 0; i < mix.faults.size(); ++i) {
        const Fault& fault = mix.faults[i];
        threads.push_back(Thread(RunFault, &mix.faults[i]));
        notes += (static_cast<int>(i) == mix.ended ? "ended." : "fault.") +
                 std::to_string(GetThreadId(threads.back())) + "=" + kKindNames[fault.kind] +
                 (fault.smallStackUnderLock ? "-overflow" : "") + " after " +
                 std::to_string(fault.delayMs) + " ms\r\n";
    }
    if (mix.heapHeldMs)
        Thread(
            [](void*) -> unsigned {
                WaitForSingleObject(go, INFINITE);
                HeapLock(GetProcessHeap());
                Sleep(mix.heapHeldMs);
                return HeapUnlock(GetProcessHeap());
            },
            nullptr);
    testsupport::WriteBytes(testsupport::BinPath(L"storm.txt"), notes);
    Sleep(50);  // the threads reach their wait
    SetEvent(go);
    if (mix.ended >= 0) {
        // Wine closes and duplicates handles under a lock of its own, which a thread ended
        // inside CloseHandle or DuplicateHandle keeps for good: no handle is closed after it,
        // and no uploader starts. The probe, made before the thread is ended, tells.
        static HANDLE spare = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        static HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Thread(
            [](void*) -> unsigned {
                WaitForSingleObject(probe, INFINITE);
                CloseHandle(spare);
                moments[kProbeSlot] = {GetCurrentThreadId(), GetTickCount64()};
                return 0;
            },
            nullptr);
        Sleep(mix.endedAfterMs);
        TerminateThread(threads[mix.ended], 9);
        moments[kEndedSlot] = {GetCurrentThreadId(), GetTickCount64()};
        SetEvent(probe);
    }
    Sleep(INFINITE);
    return 0;
}
