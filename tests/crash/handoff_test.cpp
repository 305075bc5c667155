// The hand-off is judged from outside: each case runs crash_host.exe in a
// throw-away tree with copies of the stand-in FaultSend.exe, whose reports
// (README-crash.md) say what the uploader was given and could read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

unsigned long long Number(const Fields& fields, const std::string& key) {
    const auto it = fields.find(key);
    return it == fields.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 0);
}

// Where the hand-off looks for FaultSend.exe, in its order, with the host at
// <root>\app\bin\crash_host.exe.
const wchar_t* const kPlaces[] = {L"app\\bin", L"app\\bin\\Utils", L"app", L"app\\Utils", L"."};
constexpr int kPlaceCount = 5;

struct Upload {
    int place;
    Fields fields;
};

struct HostRun {
    ProcessResult process;
    Fields notes;
    std::vector<Upload> uploads;  // in start order

    // The hook whose code holds `address`, the return address a synthetic
    // record carries; empty when no hook lies just below it.
    std::string HookAt(unsigned long long address) const {
        std::string best;
        unsigned long long bestStart = 0;
        for (const auto& [key, value] : notes) {
            const unsigned long long start = Number(notes, key);
            if (key.rfind("hook.", 0) == 0 && start <= address && address - start < 512 &&
                start > bestStart) {
                bestStart = start;
                best = key.substr(5);
            }
        }
        return best;
    }
};

class CrashTree {
public:
    CrashTree() : root_(L"crash") {
        MakeDirs(Folder(1));
        MakeDirs(Folder(3));
        CopyTo(BinPath(L"crash_host.exe"), Folder(0) + L"\\crash_host.exe");
    }
    std::wstring Folder(int place) const { return root_ / kPlaces[place]; }
    void PlaceUploader(int place) const {
        CopyTo(BinPath(L"FaultSend.exe"), Folder(place) + L"\\FaultSend.exe");
    }

    // Runs the host, then takes away what it and the uploaders wrote.
    HostRun Run(const std::wstring& arguments) const {
        HostRun run;
        const std::wstring notes = Folder(0) + L"\\crash_host.txt";
        run.process = RunProcess(L"\"" + Folder(0) + L"\\crash_host.exe\" " + arguments, Folder(0));
        run.notes = ReadFields(notes);
        DeleteFileW(notes.c_str());
        for (int place = 0; place < kPlaceCount; ++place)
            for (Fields& report : TakeUploaderReports(Folder(place)))
                run.uploads.push_back({place, std::move(report)});
        std::sort(run.uploads.begin(), run.uploads.end(), [](const Upload& a, const Upload& b) {
            return Number(a.fields, "started_qpc") < Number(b.fields, "started_qpc");
        });
        return run;
    }

private:
    TempDir root_;
};

HostRun RunWithUploaderBesideHost(const std::wstring& arguments) {
    CrashTree tree;
    tree.PlaceUploader(0);
    return tree.Run(arguments);
}

// The uploader's arguments after --pep=<n>; record_read shows <n> was the record.
std::string ArgumentsAfterPep(const std::string& commandLine) {
    const size_t pep = commandLine.find(" --pep=");
    return pep == std::string::npos ? "" : commandLine.substr(commandLine.find(' ', pep + 1) + 1);
}

bool IsWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"); }

constexpr DWORD kAccessViolation = 0xC0000005;
// Wine's msvcrt has no _set_abort_behavior, so abort exits with 3 there;
// Windows ends the process with a fail-fast report, whose code is not checked.
constexpr DWORD kAbortExit = 3;

struct FaultCase {
    const char* hostCase;
    // Per uploader run: the hook that made a synthetic record, or the code
    // of the system's record.
    std::vector<std::string> runs;
    DWORD exitCode;    // 0: the hooks gave control back and the host went on
    const char* note;  // "key=value" the host must have noted
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.hostCase; }

class FaultCases : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultCases, HandOverFromEveryHookTheFaultPassesWhileTheProcessWaits) {
    const FaultCase& c = GetParam();
    const HostRun host = RunWithUploaderBesideHost(FromUtf8(c.hostCase));
    ASSERT_FALSE(host.process.timedOut);
    Fields notes = host.notes;
    const std::string threadId = notes.count("fault_tid") ? notes["fault_tid"] : notes["main_tid"];

    ASSERT_EQ(host.uploads.size(), c.runs.size());
    for (size_t i = 0; i < c.runs.size(); ++i) {
        SCOPED_TRACE("uploader run " + std::to_string(i + 1));
        Fields run = host.uploads[i].fields;
        const bool system = c.runs[i].rfind("0x", 0) == 0;
        EXPECT_EQ(
            ArgumentsAfterPep(run["command_line"]),
            "--pid=" + notes["pid"] + " --tid=" + threadId + " --src=extrun --ver=1.2.3.4 --rep=0");
        EXPECT_EQ(run["record_read"], "1");
        EXPECT_EQ(run["context_read"], "1");
        EXPECT_EQ(run["code"], system ? c.runs[i] : "0x00000000");
        EXPECT_EQ(host.HookAt(Number(run, "address")), system ? "" : c.runs[i]);
        EXPECT_EQ(run["alive_at_done"], "1") << "the failing process did not wait";
        EXPECT_EQ(run["done"], "1");
    }

    EXPECT_EQ(notes["filter_entry"], "33 C0 C2 00 00");
    EXPECT_EQ(notes.count("other_filter"), 0u) << "another top-level filter ran";
    EXPECT_EQ(notes.count("case_returned"), c.exitCode == 0 ? 1u : 0u);
    if (c.note) {
        const std::string note = c.note;
        EXPECT_EQ(notes[note.substr(0, note.find('='))], note.substr(note.find('=') + 1));
    }
    if (IsWine() || c.exitCode != kAbortExit) {
        EXPECT_EQ(host.process.exitCode, c.exitCode);
    }
}

const FaultCase kFaultCases[] = {
    // mingw's start-up handler turns a fault under the main entry into
    // SIGSEGV first (with the system's record); the fault then repeats and
    // reaches the top-level filter. Another thread's goes straight there.
    {"MainThreadAccessViolation", {"0xC0000005", "0xC0000005"}, kAccessViolation, nullptr},
    {"OtherThreadAccessViolation", {"0xC0000005"}, kAccessViolation, nullptr},
    // Handed over on the stack set aside at arming.
    {"InfiniteRecursion", {"0xC00000FD"}, 0xC00000FD, nullptr},
    {"DivisionByZero", {"0xC0000094", "0xC0000094"}, 0xC0000094, nullptr},
    {"PureVirtualCall", {"pure_call", "sigabrt"}, kAbortExit, nullptr},
    {"Abort", {"sigabrt"}, kAbortExit, nullptr},
    {"Terminate", {"terminate", "sigabrt"}, kAbortExit, nullptr},
    // Under Wine the host calls the hook as the run-time would (no setter).
    {"InvalidParameter", {"invalid_parameter"}, 0, nullptr},
    // The hook waited for the uploader, so bad_alloc came after it.
    {"FailedOperatorNew", {"out_of_memory"}, 0, "bad_alloc=1"},
    {"Sigill", {"sigill"}, 0, nullptr},
    // The patched setter installs nothing and gives back no previous filter.
    {"LaterFilterThenAccessViolation",
     {"0xC0000005", "0xC0000005"},
     kAccessViolation,
     "later_filter_previous=0x0"},
};

INSTANTIATE_TEST_SUITE_P(CrashHandOff, FaultCases, testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.hostCase); });

TEST(LaunchUploader, ArgumentTextCarriesTheArmedSettings) {
    const struct {
        std::wstring hostArguments;
        std::string settings;
    } cases[] = {
        {L"\"src=my source\" ver=2.1.0.5 rep=255 restart",
         "--src=my source --ver=2.1.0.5 --rep=255 --restart"},
        {L"null rep=7", "--src= --ver= --rep=7"},
        {L"src=" + std::wstring(300, L's') + L" ver=" + std::wstring(300, L'9'),
         "--src=" + std::string(259, 's') + " --ver=" + std::string(259, '9') + " --rep=0"},
    };
    for (const auto& c : cases) {
        const HostRun host = RunWithUploaderBesideHost(L"Sigterm " + c.hostArguments);
        ASSERT_EQ(host.uploads.size(), 1u);
        Fields run = host.uploads[0].fields;
        Fields notes = host.notes;
        EXPECT_EQ(ArgumentsAfterPep(run["command_line"]),
                  "--pid=" + notes["pid"] + " --tid=" + notes["main_tid"] + " " + c.settings);
        EXPECT_EQ(run["record_read"], "1");
    }
}

// Takes away the uploader that ran each time: the next candidate must run.
TEST(LaunchUploader, StartsTheFirstOfTheFiveCandidatesThatExists) {
    CrashTree tree;
    for (int place = 0; place < kPlaceCount; ++place) tree.PlaceUploader(place);
    for (int first = 0; first <= kPlaceCount; ++first) {
        SCOPED_TRACE("first present: " + std::to_string(first));
        const HostRun host = tree.Run(L"Sigterm");
        if (first == kPlaceCount) {
            EXPECT_TRUE(host.uploads.empty());
        } else {
            ASSERT_EQ(host.uploads.size(), 1u);
            EXPECT_EQ(host.uploads[0].place, first);
            DeleteFileW((tree.Folder(first) + L"\\FaultSend.exe").c_str());
        }
        EXPECT_EQ(host.process.exitCode, 0u) << "the hook gives control back";
    }
}

}  // namespace
