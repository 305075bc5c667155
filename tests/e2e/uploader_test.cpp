// The reference uploader as a product ships it: bin\FaultSend.exe beside the launcher, started by
// the launcher's own crash hand-off, its dumps read back with its own --show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

#include "install_tree.h"

using namespace testsupport;

namespace {

class UploaderTree : public InstallTree {
public:
    UploaderTree() : InstallTree(L"Ulvetta.exe", LocalData(L"Ulvetta")) {
        Add(L"e2e_ext.dll", L"ext\\e2e_ext.dll");
        Add(L"uploader\\FaultSend.exe", L"bin\\FaultSend.exe");
    }
    std::wstring Dumps() const { return LocalData(L"Ulvetta") + L"\\Dumps"; }
    // The dumps' names, without ".dmp", in name order.
    std::vector<std::wstring> DumpStems() const {
        std::vector<std::wstring> stems;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((Dumps() + L"\\*.dmp").c_str(), &found);
        for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
            stems.push_back(std::wstring(found.cFileName).substr(0, wcslen(found.cFileName) - 4));
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        std::sort(stems.begin(), stems.end());
        return stems;
    }
    DWORD Uploader(const std::wstring& arguments, std::string* output,
                   bool errorsOnly = false) const {
        const std::wstring program = Path(L"bin\\FaultSend.exe");
        return RunProcess(L"\"" + program + L"\" " + arguments, Root(), 60000, program, output,
                          errorsOnly)
            .Code();
    }
};

// A dump of the source "extrun" (or `source`) `hoursAgo` old, `bytes` long (sparse), with its text.
void OldDump(const UploaderTree& tree, const std::wstring& stem, int hoursAgo, LONGLONG bytes = 64,
             const wchar_t* source = L"extrun") {
    const std::wstring path = tree.Dumps() + L"\\" + source + L"-9.9.9.9-" + stem;
    WriteBytes(path + L".txt", "");
    HANDLE file =
        CreateFileW((path + L".dmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG then = (ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart -
                            hoursAgo * 36000000000ull);
    const FILETIME written = {static_cast<DWORD>(then), static_cast<DWORD>(then >> 32)};
    SetFilePointerEx(file, LARGE_INTEGER{{static_cast<DWORD>(bytes), 0}}, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
}

}  // namespace

TEST(ReferenceUploader, EachReportOfAFaultIsADumpOfTheFaultingThread) {
    const struct {
        const wchar_t* entry;  // and the launcher's arguments after it
        const char* source;    // the uploader is told --src=<source>
        const char* inName;    // what the dump's name makes of it
        size_t dumps;          // one a report: the launcher's hooks report some faults twice
        size_t threads;        // faulting threads
        DWORD code;            // 0: a hook's own record, its address in the launcher
        const char* faultIn;
    } cases[] = {
        // The process lets others only read it: the uploader asks for nothing more.
        {L"GuardedCrash", "extrun", "extrun", 2, 1, EXCEPTION_ACCESS_VIOLATION, "e2e_ext.dll"},
        {L"ThreadOverflow", "extrun", "extrun", 1, 1, EXCEPTION_STACK_OVERFLOW, "e2e_ext.dll"},
        {L"Abort --dumpid=a-b:c/0123456789012345678901234567890",
         "a-b:c/0123456789012345678901234567890", "a_b_c_01234567890123456789012345", 1, 1, 0,
         "extrun.exe"},
        {L"TwoThreadsCrash", "extrun", "extrun", 2, 2, EXCEPTION_ACCESS_VIOLATION, "e2e_ext.dll"},
    };
    UploaderTree tree;
    for (const auto& c : cases) {
        RemoveTree(tree.Dumps());
        const DWORD start = GetTickCount();
        tree.Run(std::wstring(L"--dll=ext\\e2e_ext.dll --entry=") + c.entry);
        const DWORD took = GetTickCount() - start;
        const std::vector<std::wstring> stems = tree.DumpStems();
        EXPECT_EQ(stems.size(), c.dumps) << ToUtf8(c.entry);
        std::set<std::string> threads;
        for (const std::wstring& stem : stems) {
            const std::wstring dump = tree.Dumps() + L"\\" + stem + L".dmp";
            Fields request = ReadFields(tree.Dumps() + L"\\" + stem + L".txt");
            EXPECT_EQ(request["src"] + " " + request["ver"] + " " + request["program"],
                      c.source + std::string(" 2.1.0.5 ") + ToUtf8(tree.Launcher()));
            // <source>-<version>-<yyyymmdd-hhmmss.mmm>-<pid>-<tid>, the time's digits as 9s
            std::string name = ToUtf8(stem);
            const size_t time = strlen(c.inName) + 9;
            for (size_t i = time; i < time + 19 && i < name.size(); ++i)
                name[i] = isdigit(static_cast<unsigned char>(name[i])) ? '9' : name[i];
            EXPECT_EQ(name, c.inName + std::string("-2.1.0.5-99999999-999999.999-") +
                                request["pid"] + "-" + request["tid"]);
            std::string shown;
            EXPECT_EQ(tree.Uploader(L"--show \"" + dump + L"\"", &shown), 0u);
            char code[16];
            snprintf(code, sizeof(code), "0x%08lX ", c.code);
            EXPECT_NE(shown.find(std::string("exception: ") + code), std::string::npos) << shown;
            EXPECT_NE(shown.find("\r\nthread: " + request["tid"] + ", in the thread list\r\n"),
                      std::string::npos)
                << shown;
            EXPECT_NE(shown.find(std::string(" ") + c.faultIn + "+0x"), std::string::npos) << shown;
            threads.insert(request["tid"]);
            printf("%s: %zu bytes, %lu ms from the launcher's start to its end\n",
                   ToUtf8(c.entry).c_str(), ReadText(dump).size(), took);
        }
        EXPECT_EQ(threads.size(), c.threads) << ToUtf8(c.entry);
        // Nothing but the dumps and their text files: no temporary file is left.
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((tree.Dumps() + L"\\*.*").c_str(), &found);
        size_t files = 0;
        for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
            files += !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        EXPECT_EQ(files, 2 * c.dumps) << ToUtf8(c.entry);
    }
}

TEST(ReferenceUploader, EveryRefusalIsALineOnStandardErrorAndNoDump) {
    UploaderTree tree;
    PROCESS_INFORMATION waiting = {};
    ASSERT_TRUE(StartProcess(L"\"" + tree.Launcher() + L"\" --dll=ext\\e2e_ext.dll --entry=Wait",
                             &waiting, 0, tree.Root()));
    const std::wstring pid = L" --pid=" + std::to_wstring(waiting.dwProcessId);
    const std::wstring tid = L" --tid=" + std::to_wstring(waiting.dwThreadId);
    const std::wstring rest = L" --src=extrun --ver=2.1.0.5 --rep=0";
    // A fault record in this process, which lies in no product's folder.
    EXCEPTION_RECORD record = {};
    CONTEXT context = {};
    EXCEPTION_POINTERS pointers = {&record, &context};
    const std::wstring here = L"--pep=" + std::to_wstring(reinterpret_cast<ULONG_PTR>(&pointers)) +
                              L" --pid=" + std::to_wstring(GetCurrentProcessId()) + L" --tid=" +
                              std::to_wstring(GetCurrentThreadId()) + rest;
    constexpr DWORD kUsage = 2, kNotWritten = 1;
    const struct {
        std::wstring arguments;
        DWORD code;
        const char* why;
    } cases[] = {
        {L"", kUsage,
         "expected --pep=<n> --pid=<n> --tid=<n> --src=<text> --ver=<text> --rep=<n> "
         "[--restart], got 0 arguments"},
        {L"--pep=8" + pid + tid + L" --src=extrun --ver=2.1.0.5", kUsage, "got 5 arguments"},
        {L"--pep=8" + pid + tid + rest + L" --restart --restart", kUsage, "got 8 arguments"},
        {L"--pep=8" + pid + tid + rest + L" --Restart", kUsage, "got 7 arguments"},
        {pid.substr(1) + L" --pep=8" + tid + rest, kUsage, "where --pep= belongs"},
        {L"--pep=0x8" + pid + tid + rest, kUsage, "a malformed number in --pep=0x8"},
        {L"--pep=8 --pid=-1" + tid + rest, kUsage, "a malformed number"},
        {L"--pep=8 --pid=2147483648" + tid + rest, kUsage, "a malformed number"},
        {L"--pep=8" + pid + tid + L" --src=extrun --ver=2.1.0.5 --rep=", kUsage,
         "a malformed number"},
        {L"--show", kUsage, "expected --show <dump file>"},
        {L"--show \"" + tree.Launcher() + L"\"", kNotWritten, "not a minidump: no MDMP signature"},
        {here, kNotWritten, "no product recognised beside "},
        {L"--pep=8" + pid + L" --tid=" + std::to_wstring(GetCurrentThreadId()) + rest, kNotWritten,
         "is not a thread of process"},
        {L"--pep=8" + pid + tid + rest, kNotWritten, "no fault record at --pep=8 in process"},
        // The process ends here, before the row runs.
        {L"--pep=8" + pid + tid + rest, kNotWritten, "has ended"},
    };
    for (const auto& c : cases) {
        if (&c == &cases[std::size(cases) - 1]) {
            TerminateProcess(waiting.hProcess, 0);
            WaitForSingleObject(waiting.hProcess, INFINITE);
        }
        std::string error;
        EXPECT_EQ(tree.Uploader(c.arguments, &error, true), c.code) << ToUtf8(c.arguments);
        EXPECT_EQ(error.rfind("FaultSend: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
        EXPECT_EQ(error.find("\r\n"), error.size() - 2) << error;
        EXPECT_FALSE(Exists(tree.Dumps())) << ToUtf8(c.arguments);
    }
    CloseHandle(waiting.hProcess);
    CloseHandle(waiting.hThread);
}

TEST(ReferenceUploader, KeepsTheNewestTenDumpsOfASourceWithin256MiB) {
    UploaderTree tree;
    MakeDirs(tree.Dumps());
    // Named as if newer than any real dump, so that only their times say they are older.
    for (int hours = 1; hours <= 12; ++hours)
        OldDump(tree, L"20991231-000000.000-1-" + std::to_wstring(hours), hours);
    OldDump(tree, L"20991231-000000.000-1-1", 100, 64, L"extrunx");
    tree.Run(L"--dll=ext\\e2e_ext.dll --entry=Abort");
    std::vector<std::wstring> stems = tree.DumpStems();
    ASSERT_EQ(stems.size(), 11u);
    EXPECT_EQ(stems[0].rfind(L"extrun-2.1.0.5-", 0), 0u);
    for (int hours = 1; hours <= 12; ++hours) {
        const std::wstring old =
            tree.Dumps() + L"\\extrun-9.9.9.9-20991231-000000.000-1-" + std::to_wstring(hours);
        EXPECT_EQ(Exists(old + L".dmp"), hours <= 9) << hours;
        EXPECT_EQ(Exists(old + L".txt"), hours <= 9) << hours;
    }
    EXPECT_EQ(stems.back(), L"extrunx-9.9.9.9-20991231-000000.000-1-1");

    // A dump that passes the size limit goes with every older one, even one written "later" (a
    // clock set back); the one just written stays.
    OldDump(tree, L"20991231-000000.000-2-1", -1, 257ll << 20);
    tree.Run(L"--dll=ext\\e2e_ext.dll --entry=Abort");
    stems = tree.DumpStems();
    ASSERT_EQ(stems.size(), 2u);
    EXPECT_EQ(stems[0].rfind(L"extrun-2.1.0.5-", 0), 0u);
    EXPECT_EQ(stems[1].rfind(L"extrunx-", 0), 0u);
}
