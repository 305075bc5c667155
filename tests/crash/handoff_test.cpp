// Judged from outside: each case runs crash_host.exe in a throw-away tree with copies of the
// stand-in FaultSend.exe, whose reports (README-crash.md) say what the uploader got and could read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/crash_handoff.h"
#include "crash/stack_reserve.h"
#include "crash/uploader_start.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// Where the hand-off looks for FaultSend.exe, in order; the host: <root>\app\bin\crash_host.exe.
const wchar_t* const kPlaces[] = {L"app\\bin", L"app\\bin\\Utils", L"app", L"app\\Utils", L"."};
constexpr size_t kPlaceCount = std::size(kPlaces);

struct HostRun {
    ProcessResult process;
    ULONGLONG ms;
    Fields notes;
    std::vector<std::vector<Fields>> reports;  // by place
    size_t left = 0;                           // uploaders still alive once the host has ended
    std::wstring folder;                       // the host's current folder
};

// Runs the host (within 40 s) with read-only uploaders, as installs leave them, at `firstUploader`
// and every later place, and before it nothing and a folder of the uploader's name by turns.
HostRun RunHost(const std::wstring& arguments, size_t firstUploader = 0) {
    TempDir root(L"crash");
    const std::wstring bin = root / kPlaces[0];
    MakeDirs(bin);
    for (size_t place = 1; place < firstUploader; place += 2)
        MakeDirs(root / kPlaces[place] + L"\\FaultSend.exe");
    CopyTo(BinPath(L"crash_host.exe"), bin + L"\\crash_host.exe");
    for (size_t place = firstUploader; place < kPlaceCount; ++place)
        MakeDirs(root / kPlaces[place]),
            CopyTo(BinPath(L"FaultSend.exe"), root / kPlaces[place] + L"\\FaultSend.exe"),
            SetFileAttributesW((root / kPlaces[place] + L"\\FaultSend.exe").c_str(),
                               FILE_ATTRIBUTE_READONLY);
    const ULONGLONG start = GetTickCount64();
    HostRun run{RunProcess(L"\"" + bin + L"\\crash_host.exe\" " + arguments, bin, 40000),
                GetTickCount64() - start, ReadFields(bin + L"\\crash_host.txt")};
    run.left = EndProcessesUnder(root / L"");
    run.folder = bin + L"\\";
    for (const wchar_t* place : kPlaces) run.reports.push_back(TakeUploaderReports(root / place));
    return run;
}

// The hook holding `address`, a synthetic record's return address: the nearest hook start below.
std::string HookAt(const Fields& notes, const std::string& address) {
    const unsigned long long at = std::strtoull(address.c_str(), nullptr, 0);
    std::string hook = "no hook";
    unsigned long long nearest = 512;
    for (const auto& [key, value] : notes) {
        const unsigned long long start = std::strtoull(value.c_str(), nullptr, 0);
        if (key.rfind("hook.", 0) == 0 && start <= at && at - start < nearest)
            nearest = at - start, hook = key.substr(5);
    }
    return hook;
}

// The faulting thread the uploader was told (--tid), known by what it is to the case.
std::string ReportedRole(HostRun& host, Fields& report) {
    const std::string& line = report["command_line"];
    const size_t tid = std::min(line.find(" --tid="), line.size());
    const std::string thread = line.substr(tid + 7, line.find(' ', tid + 1) - tid - 7);
    return host.notes.count("thread." + thread) ? host.notes["thread." + thread] : "unknown thread";
}

bool IsWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"); }

// abort exits with 3 under Wine (no _set_abort_behavior); Windows' fail-fast code is not checked.
constexpr DWORD kAbortExit = 3;

struct FaultCase {
    const char* hostCase;
    // Per uploader start, sorted: the hook that made a synthetic record, or the system's code.
    const char* runs;
    DWORD exitCode;          // 0: the hooks gave control back and the host went on
    const char* noted = "";  // key=value notes the host must have made besides
    std::wstring armedWith = L"";
    // The uploader's arguments after --pid and --tid, to the end.
    std::string told = "--src=extrun --ver=1.2.3.4 --rep=0";
    const char* windowsDiffers = nullptr;  // why the case is not checked on Windows
    // Another code the process may end with, where the case cannot order what ends it.
    DWORD orExitCode = MAXDWORD;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.hostCase; }

class FaultCases : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultCases, HandOverFromEveryHookTheFaultPassesWhileTheProcessWaits) {
    const FaultCase& c = GetParam();
    if (c.windowsDiffers && !IsWine())
        GTEST_SKIP() << "not checked on Windows: " << c.windowsDiffers;
    HostRun host = RunHost(FromUtf8(c.hostCase) + L" " + c.armedWith);
    // Every case bounds its waits at 2 s: none comes near the 30 s a real bound would take.
    ASSERT_LT(host.ms, 29000u) << "the process hung, or waited out the real bound";
    EXPECT_EQ(host.notes["guarantee"], "131072") << "the stack kept for a stack overflow";
    EXPECT_EQ(host.left, 0u) << "an uploader was left behind";
    EXPECT_EQ(host.notes["forbidden"] + host.notes["loaded"], "")
        << "a DLL-loading, shell, COM or registry call, or a DLL loaded, after arming";
    std::istringstream noted(c.noted);
    for (std::string key, value; std::getline(noted >> std::ws, key, '=') && noted >> value;)
        EXPECT_EQ(host.notes[key], value) << key;
    std::vector<std::string> runs;
    for (Fields& report : host.reports[0]) {
        const std::string& line = report["command_line"];
        const size_t tid = std::min(line.find(" --tid="), line.size());
        EXPECT_EQ(line.substr(std::min(line.find(" --pid="), line.size())),
                  " --pid=" + host.notes["pid"] + line.substr(tid, line.find(' ', tid + 1) - tid) +
                      " " + c.told);
        EXPECT_EQ(report["record_read"], "1");
        EXPECT_EQ(report["alive_at_done"], "1") << "the failing process did not wait";
        EXPECT_EQ(report["alone"], "1") << "two uploaders ran at once";
        EXPECT_EQ(report["show"], "0") << "started hidden";
        EXPECT_EQ(report["folder"] + "\\", ToUtf8(host.folder)) << "the current folder inherited";
        const bool synthetic = report["code"] == "0x00000000";
        // A synthetic record's context is the hook's frame, still on the stack.
        EXPECT_EQ(report["context_ip"], report["address"]);
        EXPECT_TRUE(!synthetic || report["frame_live"] == "1") << "the hook's frame is gone";
        const std::string role = ReportedRole(host, report);
        runs.push_back((synthetic ? HookAt(host.notes, report["address"]) : report["code"]) +
                       (role == "main" ? "" : "@" + role));
    }
    // A hook that hands over and then aborts ends the process with it: the order needs no checking.
    std::sort(runs.begin(), runs.end());
    std::string joined;
    for (const std::string& run : runs) joined += (joined.empty() ? "" : " ") + run;
    EXPECT_EQ(joined, c.runs);
    if ((IsWine() || c.exitCode != kAbortExit) && host.process.exitCode != c.orExitCode) {
        EXPECT_EQ(host.process.exitCode, c.exitCode);
    }
}

const FaultCase kFaultCases[] = {
    // mingw's start-up handler raises SIGSEGV (with the system's record) for a fault under the main
    // entry; the fault then repeats and reaches the filter, which the later filter did not replace.
    {"LaterFilterThenAccessViolation", "0xC0000005 0xC0000005", 0xC0000005},
    {"LaterFilter", "", 0},
    // Another thread's fault goes straight to the filter; that thread was prepared when it started.
    {"OtherThreadAccessViolation", "0xC0000005@worker", 0xC0000005, "thread_guarantee=16384"},
    {"EightThreadsAtOnce",
     "0xC0000005@worker 0xC0000005@worker 0xC0000005@worker "
     "0xC0000005@worker 0xC0000005@worker 0xC0000005@worker 0xC0000005@worker 0xC0000005@worker",
     0xC0000005},
    // The thread holding the loader lock starts its uploader, and the other thread's meanwhile.
    {"LoaderLockAndOtherThread", "0xC0000005@lock sigterm", 0xC0000005},
    {"LoaderLockDuringAnotherReport", "0xC0000005@lock 0xC0000005@other sigterm", 0xC0000005},
    // Nobody can start while it holds the lock, and it has too little stack: it ends at once.
    {"OverflowUnderLoaderLock", "", 0xC00000FD},
    {"ThreadEndedInItsHook", "0xC0000005 0xC0000005 0xC0000005@worker", 0xC0000005},
    {"LockHolderEndedInItsHook", "0xC0000005@lock", 0xC0000005},
    {"ThirtyTwoEndedInTheirHooks", "0xC0000005 0xC0000005", 0xC0000005},
    // The fault cut the start short; the signal it was starting for is reported too.
    {"HandOffThreadFault", "0xE0000001@starter sigterm", 0xE0000001},
    {"SignalInsideHandOffStart", "0xC0000005 0xC0000005 sigint@starter", 0xC0000005},
    // The second fault, inside the thread's own hook, ends the process with the first one's code.
    {"StartAlwaysFaults", "", 0xE0000001},
    {"StartAlwaysFaultsUnderLoaderLock", "", 0xC0000005},
    {"SignalInsideOwnStart", "0xC0000005@lock", 0xC0000005},
    {"ThirtyThreeThreads", "", 0xC0000005},
    {"SlowStartsOneAfterAnother", "0xC0000005@worker 0xC0000005@worker", 0xC0000005},
    {"UploaderOutlivesTheBound", "0xC0000005@worker 0xC0000005@worker", 0xC0000005},
    // What arming made for its threads is closed, the uploaders' job kept; no thread is prepared
    // for a hand-off thread that is not there.
    {"NoHandOffThread", "0xC0000005@worker", 0xC0000005, "thread_guarantee=0 handles_made=1"},
    {"LoaderLockHeldAWhileElsewhere", "0xC0000005 0xC0000005", 0xC0000005},
    {"NoThreadsWhileLoaderLockHeldForGood", "", 0xC0000005},
    // The watcher ends the process at the bound when a start is stuck and nobody else waits, when
    // the faulting thread starts its own report and it hangs, and when the thread that awaited the
    // last uploader is gone, whatever the wall clock does meanwhile.
    {"StartHangsAndFaultingThreadEnded", "", 0xC0000005},
    {"NoHandOffThreadWhileHeapHeld", "", 0xC0000005},
    {"HandOffThreadEndedThenStartHangs", "sigterm", 0xC0000005},
    {"ClockSetBackAfterAwaiterEnded", "0xC0000005@worker", 0xC0000005},
    // Its uploader, made but never run, is ended with the process.
    {"StarterEndedBeforeItsUploaderRan", "", 0xC0000005},
    {"AbortInsideHandOffStart", "sigabrt@starter sigterm", kAbortExit},
    {"TerminateInsideHandOffStart", "sigabrt@starter sigterm terminate@starter", kAbortExit},
    {"PureCallInsideHandOffStart", "pure_call@starter sigabrt@starter sigterm", kAbortExit},
    {"RaisedAfterHandledFault", "sigsegv sigsegv", 0, "handled=1"},
    {"LoaderLockRightAfterArming", "", 0xC0000005},
    {"AbortInsideOwnStart", "0xC0000005@lock", kAbortExit},
    {"SignalInsideEveryOwnStart", "0xC0000005@lock", 0xC0000005},
    {"EndedWithAnUploaderNeverRun", "", 7},
    // Once the last uploader has ended, ExitProcess gets the loader lock and the last faulting
    // thread's hook sees nothing pending: whichever ends the process first gives its code.
    {"ExitWhileReportsWait", "0xC0000005@worker 0xC0000005@worker", 42, "", L"",
     "--src=extrun --ver=1.2.3.4 --rep=0",
     "ExitProcess ends the thread that starts reports first, as documented; Wine waits for it",
     0xC0000005},
    // Starts wait for the heap past the bound (2 s), which ends the process with the fault's code.
    {"FaultHoldingHeap", "", 0xC0000005},
    {"LoaderLockWhileHeapHeld", "", 0xC0000005},
    {"RaisedUnderLoaderLockWhileHeapHeld", "", kAbortExit},
    {"AbortAfterFourRecordsWhileHeapHeld",
     "out_of_memory out_of_memory out_of_memory out_of_memory", kAbortExit},
    {"DivisionByZero", "0xC0000094 0xC0000094", 0xC0000094},
    {"PureVirtualCall", "pure_call sigabrt", kAbortExit},
    {"Abort", "sigabrt", kAbortExit},
    {"Terminate", "sigabrt terminate", kAbortExit},
    // Under Wine the host calls the hook as the run-time would (no setter).
    {"InvalidParameter", "invalid_parameter", 0, "", L"\"\" \"\" 7", "--src= --ver= --rep=7"},
    // Exit 0: operator new threw bad_alloc after the hand-off.
    {"FailedOperatorNew", "out_of_memory", 0},
    {"FailedRuntimeNew", "runtime_out_of_memory", 0},
    {"Sigill", "sigill", 0, "", L"\"my source\" 2.1.0.5 255 restart",
     "--src=my source --ver=2.1.0.5 --rep=255 --restart"},
    // Raised, so without a system record.
    {"Sigsegv", "sigsegv", 0},
    {"Sigfpe", "sigfpe", 0},
    {"Sigint", "sigint", 0},
    {"SignalsTwice", "sigsegv sigsegv sigterm sigterm", 0},
    {"TwoThreadsAbortAtOnce", "sigabrt@worker sigabrt@worker", kAbortExit},
    {"Sigterm", "sigterm", 0, "", std::wstring(300, L's') + L" " + std::wstring(300, L'9'),
     "--src=" + std::string(259, 's') + " --ver=" + std::string(259, '9') + " --rep=0"},
};

INSTANTIATE_TEST_SUITE_P(CrashHandOff, FaultCases, testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.hostCase); });

// With folders everywhere, nothing is started and the hook gives control back.
TEST(LaunchUploader, StartsTheFirstOfTheFiveCandidatesThatIsAFile) {
    for (size_t first = 0; first <= kPlaceCount; ++first) {
        HostRun host = RunHost(L"Sigterm", first);
        for (size_t place = 0; place < kPlaceCount; ++place)
            EXPECT_EQ(host.reports[place].size(), place == first ? 1u : 0u)
                << "first present: " << first << ", place: " << place;
        EXPECT_EQ(host.notes["started"], first < kPlaceCount ? "1" : "0") << first;
    }
}

// Reports wait in line in the order of their faults: the first fault, the likeliest root, first.
TEST(LaunchUploader, StartsReportsInTheOrderOfTheirFaults) {
    HostRun host = RunHost(L"FaultsInTurn");
    std::map<unsigned long long, std::string> roles;  // by the uploader's start
    for (Fields& report : host.reports[0])
        roles[std::stoull(report["started"])] = ReportedRole(host, report);
    std::string order;
    for (const auto& [started, role] : roles) order += role + " ";
    EXPECT_EQ(order, "first second third ");
}

}  // namespace

// Blanks, tabs and line breaks end an argument, and a quote starts or ends a quoted one.
TEST(IsOneUploaderArgument, RefusesAQuoteAndEveryCharacterUpToTheBlank) {
    for (const wchar_t* text : {L"a b", L"a\tb", L"\x1F", L"a\"b"})
        EXPECT_FALSE(IsOneUploaderArgument(text)) << ToUtf8(text);
    EXPECT_TRUE(IsOneUploaderArgument(L"!tipbox~\x7F"));
}

// A thread whose whole stack is exactly the smallest size asked for is prepared; smaller, it is
// not.
TEST(StackReserve, AStackOfExactlyTheSmallestSizeIsPrepared) {
    std::thread([] {
        MEMORY_BASIC_INFORMATION here = {};
        VirtualQuery(&here, &here, sizeof(here));
        const auto* top = static_cast<char*>(ThreadInformationBlock()->StackBase);
        const SIZE_T size = static_cast<SIZE_T>(top - static_cast<char*>(here.AllocationBase));
        ULONG kept = 0;
        ReserveStackForHandOff(16 * 1024, size + 1);
        EXPECT_TRUE(SetThreadStackGuarantee(&kept) && kept == 0) << kept;
        ReserveStackForHandOff(16 * 1024, size);
        EXPECT_TRUE(SetThreadStackGuarantee(&kept) && kept == 16 * 1024) << kept;
    }).join();
}
