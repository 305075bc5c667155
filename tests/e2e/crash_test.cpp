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
        const wchar_t* arguments;
        const char* told;  // the uploader's arguments from --src= to the end
        const char* runs;  // the records' codes, one per start
        size_t threads;    // how many threads the uploader was told of
        DWORD exitCode;
    } cases[] = {
        // The fault repeats after the signal hook, and reaches the filter.
        {L"--dll=ext\\e2e_ext.dll --entry=Crash", "--src=extrun --ver=2.1.0.5 --rep=0",
         "0xC0000005 0xC0000005", 1, EXCEPTION_ACCESS_VIOLATION},
        {L"--dll=ext\\GadgetEx.DLL --entry=Crash", "--src=tipbox --ver=2.1.0.5 --rep=0",
         "0xC0000005 0xC0000005", 1, EXCEPTION_ACCESS_VIOLATION},
        {L"--dll=ext\\GadgetEx.DLL --dumpid=abc --entry=Crash", "--src=abc --ver=2.1.0.5 --rep=0",
         "0xC0000005 0xC0000005", 1, EXCEPTION_ACCESS_VIOLATION},
        {L"--dll=ext\\e2e_ext.dll --entry=Overflow", "--src=extrun --ver=2.1.0.5 --rep=0",
         "0xC00000FD", 1, EXCEPTION_STACK_OVERFLOW},
        {L"--dll=ext\\e2e_ext.dll --entry=ThreadOverflow", "--src=extrun --ver=2.1.0.5 --rep=0",
         "0xC00000FD", 1, EXCEPTION_STACK_OVERFLOW},
        {L"--dll=ext\\e2e_ext.dll --entry=TwoThreadsCrash", "--src=extrun --ver=2.1.0.5 --rep=0",
         "0xC0000005 0xC0000005", 2, EXCEPTION_ACCESS_VIOLATION},
        // The uploader cannot be started while the heap is held: the process
        // gives up after the bound instead of hanging.
        {L"--dll=ext\\e2e_ext.dll --entry=LockedHeapCrash", "", "", 0, EXCEPTION_ACCESS_VIOLATION},
    };
    InstallTree tree(L"Ulvetta.exe", LocalData(L"Ulvetta"));
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", L"ext\\e2e_ext.dll"));
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", L"ext\\GadgetEx.DLL"));
    ASSERT_TRUE(tree.Add(L"FaultSend.exe", L"bin\\FaultSend.exe"));
    for (const auto& c : cases) {
        EXPECT_EQ(tree.Run(c.arguments, 90000), c.exitCode) << ToUtf8(c.arguments);
        std::string runs;
        std::set<std::string> threads;
        for (Fields report : TakeUploaderReports(tree.Path(L"bin"))) {
            const std::string& line = report["command_line"];
            EXPECT_EQ(line.substr(std::min(line.find("--src="), line.size())), c.told);
            EXPECT_EQ(report["alive_at_done"], "1") << "the failing process did not wait";
            runs += (runs.empty() ? "" : " ") + report["code"];
            const size_t tid = std::min(line.find("--tid="), line.size());
            threads.insert(line.substr(tid, line.find(' ', tid) - tid));
        }
        EXPECT_EQ(runs, c.runs) << ToUtf8(c.arguments);
        EXPECT_EQ(threads.size(), c.threads) << ToUtf8(c.arguments);
    }
}
