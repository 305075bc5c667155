#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "install_tree.h"

using namespace testsupport;

// How the hand-off reports and waits is tested on crash_host; here, what the
// launcher arms it with for the extension it runs.
TEST(ExtensionJobCrash, AFaultInTheExtensionHandsOffWithTheSourceNameAndTheDllsVersion) {
    const struct {
        const wchar_t* arguments;
        const char* told;  // the uploader's arguments from --src= to the end
    } cases[] = {
        {L"--dll=ext\\e2e_ext.dll", "--src=extrun --ver=2.1.0.5 --rep=0"},
        {L"--dll=ext\\GadgetEx.DLL", "--src=tipbox --ver=2.1.0.5 --rep=0"},
        {L"--dll=ext\\GadgetEx.DLL --dumpid=abc", "--src=abc --ver=2.1.0.5 --rep=0"},
    };
    InstallTree tree(L"Ulvetta.exe", LocalData(L"Ulvetta"));
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", L"ext\\e2e_ext.dll"));
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", L"ext\\GadgetEx.DLL"));
    ASSERT_TRUE(tree.Add(L"FaultSend.exe", L"bin\\FaultSend.exe"));
    for (const auto& c : cases) {
        EXPECT_EQ(tree.Run(c.arguments + std::wstring(L" --entry=Crash")),
                  static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
        const auto reports = TakeUploaderReports(tree.Path(L"bin"));
        EXPECT_FALSE(reports.empty()) << ToUtf8(c.arguments);
        for (Fields report : reports) {
            const std::string& line = report["command_line"];
            EXPECT_EQ(line.substr(std::min(line.find("--src="), line.size())), c.told);
            EXPECT_EQ(report["code"], "0xC0000005") << "not the access violation's own record";
        }
    }
}
