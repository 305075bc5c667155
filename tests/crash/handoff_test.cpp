#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "crash_host_run.h"

using crashtest::HostRun;
using crashtest::IsWine;
using crashtest::RunCase;
using crashtest::UploaderRun;

namespace {

constexpr DWORD kAccessViolation = 0xC0000005;
constexpr DWORD kStackOverflow = 0xC00000FD;
constexpr DWORD kIntegerDivideByZero = 0xC0000094;
constexpr DWORD kIllegalInstruction = 0xC000001D;
// After the SIGABRT hook, abort ends the process. Wine's msvcrt has no
// _set_abort_behavior, so the fail-fast request is lost and abort exits with
// 3; Windows ends the process with a fail-fast report instead, whose code is
// not checked here.
constexpr DWORD kAbortExit = 3;

// One run of the uploader: a synthetic record made by `hook`, or (hook
// null) the system's record of a fault with `code`.
struct ExpectedRun {
    const char* hook;
    DWORD code;
};

constexpr ExpectedRun Synthetic(const char* hook) { return {hook, 0}; }
constexpr ExpectedRun System(DWORD code) { return {nullptr, code}; }

struct FaultCase {
    const char* name;
    const wchar_t* hostCase;
    std::vector<ExpectedRun> runs;
    DWORD exitCode;
    // The note the host writes when it goes on after the hooks returned, and
    // its value; null when the process must end in the hand-off.
    const char* goesOnWith;
    const char* noteValue;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

// Every run must have been able to read the failing process and must have
// found it still waiting when it finished.
void ExpectAwaitedRun(const HostRun& host, const UploaderRun& run, unsigned long long threadId) {
    EXPECT_EQ(run.Number("pid"), host.Note("pid"));
    EXPECT_EQ(run.Number("tid"), threadId);
    EXPECT_NE(run.Number("pep"), 0u);
    for (const char* flag : {"process_opened", "thread_of_process", "pointers_read", "record_read",
                             "context_read", "alive_at_done", "done"})
        EXPECT_EQ(run.Get(flag), "1") << flag;
}

class FaultCases : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultCases, StartTheUploaderFromEachHookTheFaultPasses) {
    const FaultCase& c = GetParam();
    const HostRun host = RunCase(c.hostCase);
    ASSERT_TRUE(host.process.started);
    ASSERT_FALSE(host.process.timedOut);

    ASSERT_EQ(host.uploads.size(), c.runs.size());
    const unsigned long long threadId =
        host.notes.count("fault_tid") ? host.Note("fault_tid") : host.Note("main_tid");
    for (size_t i = 0; i < c.runs.size(); ++i) {
        SCOPED_TRACE("uploader run " + std::to_string(i + 1));
        const UploaderRun& run = host.uploads[i];
        ExpectAwaitedRun(host, run, threadId);
        EXPECT_EQ(run.Number("code"), c.runs[i].code);
        const std::string hook = host.HookAt(run.Number("address"));
        EXPECT_EQ(hook, c.runs[i].hook ? c.runs[i].hook : "") << "the hook that made the record";
    }

    if (c.goesOnWith) {
        EXPECT_EQ(host.notes.count("case_returned"), 1u);
        const auto note = host.notes.find(c.goesOnWith);
        ASSERT_NE(note, host.notes.end()) << c.goesOnWith;
        EXPECT_EQ(note->second, c.noteValue);
    } else {
        EXPECT_EQ(host.notes.count("case_returned"), 0u)
            << "the process went on after the hand-off";
    }
    if (IsWine() || c.exitCode != kAbortExit) {
        EXPECT_EQ(host.process.exitCode, c.exitCode);
    }
}

const FaultCase kFaultCases[] = {
    // mingw's start-up handler turns a fault under the main entry into
    // SIGSEGV first (with the record the vectored capture kept); the fault
    // then repeats and reaches the top-level filter.
    {"AccessViolationOnTheMainThread",
     L"av-main",
     {System(kAccessViolation), System(kAccessViolation)},
     kAccessViolation,
     nullptr,
     nullptr},
    // That handler only covers frames under the main entry: another thread's
    // fault goes straight to the top-level filter.
    {"AccessViolationOnAnotherThread",
     L"av-thread",
     {System(kAccessViolation)},
     kAccessViolation,
     nullptr,
     nullptr},
    // Runs on the stack set aside at arming.
    {"StackOverflowOnTheArmingThread",
     L"overflow-main",
     {System(kStackOverflow)},
     kStackOverflow,
     nullptr,
     nullptr},
    {"IntegerDivisionByZero",
     L"divide-by-zero",
     {System(kIntegerDivideByZero), System(kIntegerDivideByZero)},
     kIntegerDivideByZero,
     nullptr,
     nullptr},
    // SIGILL's hook makes its own record; the filter then gets the system's.
    {"IllegalInstruction",
     L"illegal-instruction",
     {Synthetic("sigill"), System(kIllegalInstruction)},
     kIllegalInstruction,
     nullptr,
     nullptr},
    {"PureVirtualCall",
     L"pure-call",
     {Synthetic("pure_call"), Synthetic("sigabrt")},
     kAbortExit,
     nullptr,
     nullptr},
    {"Abort", L"abort", {Synthetic("sigabrt")}, kAbortExit, nullptr, nullptr},
    {"Terminate",
     L"terminate",
     {Synthetic("terminate"), Synthetic("sigabrt")},
     kAbortExit,
     nullptr,
     nullptr},
    {"UncaughtException",
     L"throw",
     {Synthetic("terminate"), Synthetic("sigabrt")},
     kAbortExit,
     nullptr,
     nullptr},
    {"Unexpected",
     L"unexpected",
     {Synthetic("unexpected"), Synthetic("terminate"), Synthetic("sigabrt")},
     kAbortExit,
     nullptr,
     nullptr},
    // Wine's msvcrt cannot take the handler, so the host calls the hook as
    // the run-time would; on Windows msvcrt's own check reaches it.
    {"InvalidParameter",
     L"invalid-parameter",
     {Synthetic("invalid_parameter")},
     0,
     "returned",
     "1"},
    // The uploader has finished before operator new throws.
    {"FailedOperatorNew",
     L"new-fail",
     {Synthetic("out_of_memory")},
     0,
     "bad_alloc_after_uploads",
     "1"},
    // msvcrt's operator new gives up and returns null.
    {"FailedRuntimeOperatorNew",
     L"runtime-new-fail",
     {Synthetic("runtime_out_of_memory")},
     0,
     "runtime_new_result",
     "0x0"},
    {"RaisedSigint", L"raise-sigint", {Synthetic("sigint")}, 0, "returned", "1"},
    {"RaisedSigterm", L"raise-sigterm", {Synthetic("sigterm")}, 0, "returned", "1"},
    {"RaisedSigill", L"raise-sigill", {Synthetic("sigill")}, 0, "returned", "1"},
    // A raised signal has no fault record behind it.
    {"RaisedSigfpe", L"raise-sigfpe", {Synthetic("sigfpe")}, 0, "returned", "1"},
    {"RaisedSigsegv", L"raise-sigsegv", {Synthetic("sigsegv")}, 0, "returned", "1"},
};

INSTANTIATE_TEST_SUITE_P(CrashHandOff, FaultCases, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return info.param.name;
                         });

TEST(CrashHandOff, EveryHookIsADistinctFunction) {
    const HostRun host = RunCase(L"arm-only");
    ASSERT_EQ(host.process.exitCode, 0u);
    EXPECT_TRUE(host.uploads.empty());
    std::set<unsigned long long> addresses;
    size_t hooks = 0;
    for (const auto& [key, value] : host.notes)
        if (key.rfind("hook.", 0) == 0) {
            ++hooks;
            EXPECT_NE(host.Note(key), 0u) << key;
            addresses.insert(host.Note(key));
        }
    EXPECT_EQ(hooks, 13u);
    EXPECT_EQ(addresses.size(), hooks);
}

TEST(CrashHandOff, LaterSetUnhandledExceptionFilterInstallsNothing) {
    const HostRun host = RunCase(L"later-filter");
    EXPECT_EQ(host.notes.at("filter_entry"), "33 C0 C2 00 00");
    EXPECT_EQ(host.notes.at("later_filter_previous"), "0x0");
    EXPECT_EQ(host.notes.count("other_filter"), 0u) << "the later filter ran";
    ASSERT_FALSE(host.uploads.empty());
    EXPECT_EQ(host.uploads.back().Number("code"), kAccessViolation);
    EXPECT_EQ(host.process.exitCode, kAccessViolation);
}

// A thread the extension starts has no stack set aside. Under Wine a stack
// overflow there ends just that thread, silently, and the process goes on
// without the uploader; on Windows the hand-off itself overflows the rest
// of the stack and the system ends the process. Either way no report.
TEST(CrashHandOff, StackOverflowOnAnotherThreadIsNotHandedOver) {
    if (!IsWine()) GTEST_SKIP() << "the outcome checked is Wine's";
    const HostRun host = RunCase(L"overflow-thread");
    EXPECT_TRUE(host.uploads.empty());
    EXPECT_EQ(host.notes.count("case_returned"), 1u);
}

}  // namespace
