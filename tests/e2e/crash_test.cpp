#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "install_tree.h"

using namespace testsupport;

// How each hook reports and waits is tested on crash_host; here, what the launcher arms for its
// extension, and faults only a whole process shows: stacks run out, threads, a lock held elsewhere.
TEST(ExtensionJobCrash, EveryFatalFaultOfTheExtensionReachesTheUploaderAndEndsTheProcess) {
    const struct {
        const wchar_t* arguments;  // what follows "--dll=ext\\"
        const char* source;        // the uploader is told --src=<source> --ver=2.1.0.5 --rep=0
        size_t runs;               // starts of the uploader, each told the process's exit code
        size_t threads;            // how many threads the uploader was told of
        DWORD exitCode;
    } cases[] = {
        // The fault repeats after the signal hook, and reaches the filter.
        {L"GadgetEx.DLL --dumpid=abc --entry=Crash", "abc", 2, 1, EXCEPTION_ACCESS_VIOLATION},
        // A source name that would add arguments of its own gives way to the DLL's default.
        {L"GadgetEx.DLL \"--dumpid=a b\" --entry=Crash", "tipbox", 2, 1,
         EXCEPTION_ACCESS_VIOLATION},
        {L"e2e_ext.dll --entry=Overflow", "extrun", 1, 1, EXCEPTION_STACK_OVERFLOW},
        {L"e2e_ext.dll --entry=ThreadOverflow", "extrun", 1, 1, EXCEPTION_STACK_OVERFLOW},
        {L"e2e_ext.dll --entry=TwoThreadsCrash", "extrun", 2, 2, EXCEPTION_ACCESS_VIOLATION},
        // No uploader can start while another thread holds the heap: the bound ends the process.
        {L"e2e_ext.dll --entry=LockedHeapCrash", "", 0, 0, EXCEPTION_ACCESS_VIOLATION},
    };
    InstallTree tree(L"Ulvetta.exe", LocalData(L"Ulvetta"));
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", L"ext\\e2e_ext.dll"));
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", L"ext\\GadgetEx.DLL"));
    ASSERT_TRUE(tree.Add(L"FaultSend.exe", L"bin\\FaultSend.exe"));
    tree.EnableLog();  // and yet no line: the start banner waits for a record that never comes
    for (const auto& c : cases) {
        const std::string what = ToUtf8(c.arguments);
        EXPECT_EQ(tree.Run(L"--dll=ext\\" + std::wstring(c.arguments), 50000), c.exitCode) << what;
        const std::vector<Fields> reports = TakeUploaderReports(tree.Path(L"bin"));
        std::set<std::string> threads;
        for (Fields report : reports) {
            const std::string& line = report["command_line"];
            EXPECT_EQ(line.substr(std::min(line.find("--src="), line.size())),
                      "--src=" + std::string(c.source) + " --ver=2.1.0.5 --rep=0");
            EXPECT_EQ(report["alive_at_done"], "1") << "the failing process did not wait";
            EXPECT_EQ(std::stoul(report["code"], nullptr, 16), c.exitCode) << what;
            const size_t tid = std::min(line.find("--tid="), line.size());
            threads.insert(line.substr(tid, line.find(' ', tid) - tid));
        }
        EXPECT_EQ(reports.size(), c.runs) << what;
        EXPECT_EQ(threads.size(), c.threads) << what;
        EXPECT_FALSE(Exists(tree.LogPath())) << what;
    }
}
