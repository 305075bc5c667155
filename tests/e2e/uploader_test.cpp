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

// `path` made `bytes` long (sparse) and last written `hoursAgo` (negative: in the future).
void MakeOld(const std::wstring& path, int hoursAgo, LONGLONG bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG then = (ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart -
                            hoursAgo * 36000000000ll);
    const FILETIME written = {static_cast<DWORD>(then), static_cast<DWORD>(then >> 32)};
    SetFilePointerEx(file, LARGE_INTEGER{{static_cast<DWORD>(bytes), 0}}, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
}

// A dump of the source "extrun" (or `source`) `hoursAgo` old, `bytes` long, with its text; its
// path without ".dmp".
std::wstring OldDump(const UploaderTree& tree, const std::wstring& stem, int hoursAgo,
                     LONGLONG bytes = 64, const wchar_t* source = L"extrun") {
    const std::wstring path = tree.Dumps() + L"\\" + source + L"-9.9.9.9-" + stem;
    WriteBytes(path + L".txt", "");
    MakeOld(path + L".dmp", hoursAgo, bytes);
    return path;
}

// A file's Unix path under Wine; empty elsewhere.
std::wstring UnixPath(const std::wstring& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    const char* name = unixName ? unixName(path.c_str()) : nullptr;
    wchar_t text[MAX_PATH * 2] = {};
    if (name) MultiByteToWideChar(CP_UTF8, 0, name, -1, text, MAX_PATH * 2 - 1);
    return text;
}

// The test service (upload_server.py, run by the host's python3 under Wine): what arrives is
// filed in a folder of its own, the n-th request as <n>.fields and <n>.dmp. Down (refusing
// connections) until Open; it ends by itself after its requests or seconds, or when this ends.
class UploadService {
public:
    UploadService(bool up, int requests = 8, int seconds = 120) {
        if (up) Open();
        const std::wstring command = L"python3 \"" + UnixPath(BinPath(L"upload_server.py")) +
                                     L"\" \"" + UnixPath(folder_.Path()) + L"\" " +
                                     std::to_wstring(requests) + L" " + std::to_wstring(seconds);
        PROCESS_INFORMATION server = {};
        STARTUPINFOW startup = {sizeof(startup)};
        std::wstring line = command;
        started_ = CreateProcessW(L"Z:\\usr\\bin\\python3", line.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &server);
        if (started_) {
            CloseHandle(server.hThread);
            CloseHandle(server.hProcess);
        }
        // Wine does not wait for a Unix program: the port shows when it is bound.
        for (int i = 0; i < 200 && started_ && !Exists(folder_ / L"port"); ++i) Sleep(50);
        port_ = ReadText(folder_ / L"port");
    }
    ~UploadService() {
        WriteBytes(folder_ / L"stop", "");
        for (int i = 0; i < 100 && started_ && !Exists(folder_ / L"done"); ++i) Sleep(50);
    }
    const std::string& Port() const { return port_; }
    void Open() const { WriteBytes(folder_ / L"open", ""); }
    // Request n's fields once it has arrived, waiting up to `ms`; empty when it has not.
    Fields Arrived(int n, DWORD ms) const {
        const std::wstring fields = folder_ / (std::to_wstring(n) + L".fields");
        for (DWORD waited = 0; waited < ms && !Exists(fields); waited += 50) Sleep(50);
        return Exists(fields) ? ReadFields(fields) : Fields();
    }
    std::wstring Dump(int n) const { return folder_ / (std::to_wstring(n) + L".dmp"); }

private:
    TempDir folder_{L"service"};
    bool started_ = false;
    std::string port_;
};

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Runs the host's `program` with `arguments` under Wine and waits up to 10 s for `done` to hold:
// Wine does not wait for a Unix program.
template <typename Done>
void UnixCommand(const std::wstring& program, const std::wstring& arguments, Done done) {
    std::wstring line = program + L" " + arguments;
    PROCESS_INFORMATION started = {};
    STARTUPINFOW startup = {sizeof(startup)};
    ASSERT_TRUE(CreateProcessW((L"Z:" + program).c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &started));
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    for (int i = 0; i < 200 && !done(); ++i) Sleep(50);
    ASSERT_TRUE(done()) << ToUtf8(line);
}

// Symbolic links at `links` to `target`: Unix links, which Wine shows as the file they name (and
// removes that file for them), so only the host's own tools make and remove them. The data folder
// goes with them when the test ends.
class SymbolicLinks {
public:
    SymbolicLinks(const UploaderTree& tree, const std::vector<std::wstring>& links,
                  const std::wstring& target)
        : dumps_(tree.Dumps()) {
        for (const std::wstring& link : links)
            UnixCommand(L"/bin/ln",
                        L"-sf \"" + UnixPath(target) + L"\" \"" + UnixPath(link) + L"\"",
                        [&] { return Exists(link); });
    }
    ~SymbolicLinks() {
        UnixCommand(L"/bin/rm", L"-rf \"" + UnixPath(dumps_) + L"\"",
                    [&] { return !Exists(dumps_); });
    }

private:
    std::wstring dumps_;
};

double UnixTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart -
            116444736000000000ull) /
           1e7;
}

}  // namespace

TEST(ReferenceUploader, EachReportOfAFaultIsADumpOfTheFaultingThread) {
    const struct {
        const wchar_t* entry;  // and the launcher's arguments after it
        const char* source;    // the uploader is told --src=<source>
        const char* inName;    // what the dump's name makes of it
        size_t dumps;          // one a fault, though the launcher's hooks report some twice
        bool repeated;         // reported twice: the dump's text says so
        size_t threads;        // faulting threads
        DWORD code;            // 0: a hook's own record, its address in the launcher
        const char* faultIn;
    } cases[] = {
        // The process lets others only read it: the uploader asks for nothing more.
        {L"GuardedCrash", "extrun", "extrun", 1, true, 1, EXCEPTION_ACCESS_VIOLATION,
         "e2e_ext.dll"},
        {L"ThreadOverflow", "extrun", "extrun", 1, false, 1, EXCEPTION_STACK_OVERFLOW,
         "e2e_ext.dll"},
        {L"Abort --dumpid=a-b:c/0123456789012345678901234567890",
         "a-b:c/0123456789012345678901234567890", "a_b_c_01234567890123456789012345", 1, false, 1,
         0, "extrun.exe"},
        {L"TwoThreadsCrash", "extrun", "extrun", 2, false, 2, EXCEPTION_ACCESS_VIOLATION,
         "e2e_ext.dll"},
        // Escaped in the text, '_' in the name, which is cut before a pair it would split.
        {L"Abort --dumpid=ab\x202Egpj.exe\x2028\x85"
         L"aaaaaaaaaaaaaaaaaaa\xD83D\xDE00z",
         "ab<U+202E>gpj.exe<U+2028><U+0085>aaaaaaaaaaaaaaaaaaa\xF0\x9F\x98\x80z",
         "ab_gpj.exe__aaaaaaaaaaaaaaaaaaa", 1, false, 1, 0, "extrun.exe"},
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
            EXPECT_EQ(request.count("repeat"), c.repeated ? 1u : 0u) << ToUtf8(c.entry);
            EXPECT_EQ(request["fault"].rfind(request["pid"] + "-", 0), 0u) << request["fault"];
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
            // Walked past the faulting frame with the modules' own unwind data.
            EXPECT_NE(shown.find("\r\nframes of thread " + request["tid"] + ":\r\n  #0 " +
                                 c.faultIn + "+0x"),
                      std::string::npos)
                << shown;
            EXPECT_NE(shown.find("\r\n  #1 "), std::string::npos) << shown;
            // The launcher's and the extension's build ids (a GUID and age 1, no debug file), in
            // the dump whoever wrote it.
            for (const std::wstring& module :
                 {tree.Launcher(), tree.Root() + L"\\ext\\e2e_ext.dll"}) {
                const std::string line = ToUtf8(module) + "\r\n    debug id: ";
                const size_t digits = std::min(shown.find(line), shown.size()) + line.size();
                EXPECT_EQ(shown.find_first_not_of("0123456789ABCDEF", digits), digits + 33)
                    << shown;
                EXPECT_EQ(shown.compare(std::min(digits + 33, shown.size()), 3, " \r\n"), 0)
                    << shown;
            }
            // Left in bin/ as a seed of the dump reader's fuzzer (scripts/fuzz).
            CopyFileW(dump.c_str(), BinPath(L"minidump_seed_uploader.dmp").c_str(), FALSE);
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

    // A dump that passes the size limit goes with every older one (the first run's among them);
    // the one just written stays.
    OldDump(tree, L"20991231-000000.000-2-1", 0, 257ll << 20);
    tree.Run(L"--dll=ext\\e2e_ext.dll --entry=Abort");
    stems = tree.DumpStems();
    ASSERT_EQ(stems.size(), 2u);
    EXPECT_EQ(stems[0].rfind(L"extrun-2.1.0.5-", 0), 0u);
    EXPECT_EQ(stems[1].rfind(L"extrunx-", 0), 0u);
}

TEST(ReferenceUploader, RemovesOnlyPlainFilesNamedAsItsDumpsAndNoFutureDumpHoldsAPlace) {
    if (UnixPath(L"C:\\").empty())
        GTEST_SKIP() << "the links are made by the host's ln, under Wine";
    UploaderTree tree;
    MakeDirs(tree.Dumps());
    for (int hours = 1; hours <= 9; ++hours)
        OldDump(tree, L"20991231-000000.000-1-" + std::to_wstring(hours), hours);
    const std::wstring victim = tree.Path(L"victim.dat");
    MakeOld(victim, 12, 64);
    const struct {
        std::wstring stem;
        bool dumpStays, textStays;
    } cases[] = {
        // Counted as the file system compares names, in any case.
        {OldDump(tree, L"20991231-000000.000-1-10", 10, 64, L"EXTRUN"), false, false},
        // Dated in the future: the oldest of all, not the newest.
        {OldDump(tree, L"20991231-000000.000-1-99", -24), false, false},
        // Read-only: the user keeps it, and its text with it.
        {OldDump(tree, L"20991231-000000.000-1-11", 11), true, true},
        // A link is never followed, and the text stays with the dump.
        {OldDump(tree, L"20991231-000000.000-1-12", 12), true, true},
        // A text file that is a link stays, the file it names unharmed.
        {OldDump(tree, L"20991231-000000.000-1-13", 13), false, true},
        // Not named as a dump: not this uploader's to remove.
        {OldDump(tree, L"20991231-000000.000-x-14", 14), true, true},
    };
    SetFileAttributesW((cases[2].stem + L".dmp").c_str(), FILE_ATTRIBUTE_READONLY);
    const SymbolicLinks links(tree, {cases[3].stem + L".dmp", cases[4].stem + L".txt"}, victim);
    tree.Run(L"--dll=ext\\e2e_ext.dll --entry=Abort");
    EXPECT_EQ(tree.DumpStems().size(), 10u + 3u);
    for (const auto& c : cases) {
        EXPECT_EQ(Exists(c.stem + L".dmp"), c.dumpStays) << ToUtf8(c.stem);
        EXPECT_EQ(Exists(c.stem + L".txt"), c.textStays) << ToUtf8(c.stem);
    }
    EXPECT_TRUE(Exists(victim));
}

TEST(ReferenceUploader, SendsEachFaultOnceWithEveryFieldToTheServiceTheProductNames) {
    if (UnixPath(L"C:\\").empty()) GTEST_SKIP() << "the test service runs under Wine only";
    UploadService service(true);
    ASSERT_FALSE(service.Port().empty());
    UploaderTree tree;
    // A file refused whole (a key in another letter case) sends nothing; the dump is written.
    WriteBytes(tree.Path(L"bin\\FaultSend.upload"),
               "url=http://127.0.0.1:" + service.Port() + "/\r\nField.token=t0\r\n");
    tree.Run(L"--dll=ext\\e2e_ext.dll --entry=Abort");
    ASSERT_EQ(tree.DumpStems().size(), 1u);
    EXPECT_TRUE(service.Arrived(1, 3000).empty());
    WriteBytes(tree.Path(L"bin\\FaultSend.upload"),
               "# sent to the test service\r\nurl=http://127.0.0.1:" + service.Port() +
                   "/api/7/minidump/?sentry_key=k\r\nfield.token=t0\r\n");
    const struct {
        const wchar_t* entry;
        DWORD code;
    } cases[] = {
        // Reported twice by the launcher's hooks: one dump, sent once.
        {L"GuardedCrash", EXCEPTION_ACCESS_VIOLATION},
        {L"Abort", 0},
        {L"ThreadOverflow", EXCEPTION_STACK_OVERFLOW},
    };
    int n = 0;
    for (const auto& c : cases) {
        RemoveTree(tree.Dumps());
        const double start = UnixTimeNow();
        tree.Run(std::wstring(L"--dll=ext\\e2e_ext.dll --entry=") + c.entry);
        Fields arrived = service.Arrived(++n, 30000);
        ASSERT_FALSE(arrived.empty()) << ToUtf8(c.entry);
        const std::vector<std::wstring> stems = tree.DumpStems();
        ASSERT_EQ(stems.size(), 1u);
        const std::wstring dump = tree.Dumps() + L"\\" + stems[0];
        Fields request = ReadFields(dump + L".txt");
        for (const char* key :
             {"pep", "pid", "tid", "src", "ver", "rep", "restart", "program", "fault"})
            EXPECT_EQ(arrived[key], request[key]) << key;
        EXPECT_EQ(arrived["product"] + " " + arrived["version"] + " " + arrived["source"] + " " +
                      arrived["token"] + " " + arrived["@path"] + " " + arrived["@parts"],
                  "Ulvetta 2.1.0.5 extrun t0 /api/7/minidump/?sentry_key=k 14");
        EXPECT_EQ(arrived["@filename"], ToUtf8(stems[0]) + ".dmp");
        const std::string bytes = ReadText(service.Dump(n));
        EXPECT_EQ(bytes, ReadText(dump + L".dmp"));
        std::string shown;
        EXPECT_EQ(tree.Uploader(L"--show \"" + service.Dump(n) + L"\"", &shown), 0u);
        char code[16];
        snprintf(code, sizeof(code), "0x%08lX ", c.code);
        EXPECT_NE(shown.find(std::string("exception: ") + code), std::string::npos) << shown;
        // What the service answered, in the dump's text once it is recorded.
        for (int i = 0; i < 100 && request["upload"].empty(); ++i, Sleep(50))
            request = ReadFields(dump + L".txt");
        EXPECT_EQ(request["upload"].substr(20), " 200 id=" + std::to_string(n));
        printf("%s: %zu bytes arrived %.1f s after the launcher started\n", ToUtf8(c.entry).c_str(),
               bytes.size(), std::stod(arrived["@arrived"]) - start);
    }
    // Nothing more arrives, not even after the first back-off: each fault once.
    EXPECT_TRUE(service.Arrived(n + 1, 7000).empty());
}

TEST(ReferenceUploader, ADumpWrittenWhileTheServiceIsDownArrivesOnceItIsUp) {
    if (UnixPath(L"C:\\").empty()) GTEST_SKIP() << "the test service runs under Wine only";
    UploadService service(false);
    ASSERT_FALSE(service.Port().empty());
    UploaderTree tree;
    WriteBytes(tree.Path(L"bin\\FaultSend.upload"),
               "url=http://127.0.0.1:" + service.Port() + "/upload\n");
    tree.Run(L"--dll=ext\\e2e_ext.dll --entry=Abort");
    const std::vector<std::wstring> stems = tree.DumpStems();
    ASSERT_EQ(stems.size(), 1u);
    const std::wstring text = tree.Dumps() + L"\\" + stems[0] + L".txt";
    for (int i = 0; i < 200 && Count(ReadText(text), "upload=") == 0; ++i) Sleep(50);
    EXPECT_NE(ReadText(text).find(" error "), std::string::npos) << ReadText(text);
    service.Open();
    EXPECT_FALSE(service.Arrived(1, 30000).empty());
    EXPECT_TRUE(service.Arrived(2, 7000).empty());
    const std::string record = ReadText(text);
    EXPECT_EQ(Count(record, "upload="), 2u) << record;
    EXPECT_NE(record.find(" 200 id=1\r\n"), std::string::npos) << record;
}
