#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_tree.h"

using namespace testsupport;

namespace {

std::string ArgumentsAfter(const std::string& commandLine, const std::string& from) {
    const size_t at = commandLine.find(from);
    return at == std::string::npos ? "<none>" : commandLine.substr(at);
}

}  // namespace

TEST(ExtensionJobCrash, AFaultInTheExtensionHandsOffWithTheSourceNameAndTheDllsVersion) {
    struct Case {
        const wchar_t* dll;
        const wchar_t* extraArguments;
        const char* expectedTail;
    } cases[] = {
        {L"ext\\e2e_ext.dll", L"", "--src=extrun --ver=2.1.0.5 --rep=0"},
        {L"ext\\GadgetEx.DLL", L"", "--src=tipbox --ver=2.1.0.5 --rep=0"},
        {L"ext\\GadgetEx.DLL", L" --dumpid=abc", "--src=abc --ver=2.1.0.5 --rep=0"},
    };
    for (const Case& c : cases) {
        InstallTree tree(L"Ulvetta.exe", LocalData(L"Ulvetta"));
        ASSERT_TRUE(tree.Add(L"e2e_ext.dll", c.dll));
        ASSERT_TRUE(tree.Add(L"FaultSend.exe", L"bin\\FaultSend.exe"));
        const DWORD code =
            tree.Run(std::wstring(L"--dll=") + c.dll + L" --entry=Crash" + c.extraArguments);
        EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

        const std::vector<Fields> reports = TakeUploaderReports(tree.Path(L"bin"));
        ASSERT_FALSE(reports.empty()) << "the uploader never ran for " << ToUtf8(c.dll);
        bool sawSystemRecord = false;
        for (const Fields& r : reports) {
            // The text ends exactly there: no --restart.
            EXPECT_EQ(ArgumentsAfter(r.at("command_line"), "--src="), c.expectedTail);
            EXPECT_EQ(r.at("done"), "1");
            EXPECT_EQ(r.at("alive_at_done"), "1")
                << "the failing process must wait for the uploader";
            EXPECT_EQ(r.at("record_read"), "1");
            sawSystemRecord |= r.count("code") && r.at("code") == "0xC0000005";
        }
        EXPECT_TRUE(sawSystemRecord) << "the uploader must see the access violation's own record";
    }
}
