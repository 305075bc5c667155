// Runs with Wine told to search these DLLs as Windows does, the program's
// own folder first (CMakeLists.txt sets WINEDLLOVERRIDES for this program).
#include <gtest/gtest.h>

#include <shlwapi.h>

#include <string>
#include <vector>

#include "install_tree.h"

using namespace testsupport;

namespace {

constexpr const wchar_t* kPlanted[] = {L"comctl32", L"crypt32", L"version", L"wintrust"};

// What the planted DLLs recorded, less what Wine's own DLLs did: Wine's user32 loads and calls a
// version.dll beside the program; on Windows user32 is a KnownDLL, its imports the system's.
std::vector<std::string> PlantedRuns(const InstallTree& tree) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::string fromSystem = " from " + ToUtf8(system) + "\\";
    std::vector<std::string> runs;
    for (const wchar_t* name : kPlanted) {
        for (const std::string& line :
             SplitLines(ReadText(tree.Path(L"bin\\") + name + L".dll.ran"))) {
            const bool wineUser32Load =
                IsWine() && name == std::wstring(L"version") && line.rfind("attach ", 0) == 0;
            const bool fromWine = IsWine() && line.rfind("call ", 0) == 0 &&
                                  StrStrIA(line.c_str(), fromSystem.c_str());
            if (!line.empty() && !wineUser32Load && !fromWine)
                runs.push_back(ToUtf8(name) + ": " + line);
        }
    }
    return runs;
}

// The arguments from "--src=" on of the first FaultSend.exe start that finished while the failing
// process still waited for it; empty when there was none.
std::string AwaitedUploaderArguments(const InstallTree& tree) {
    for (Fields& report : TakeUploaderReports(tree.Path(L"bin"))) {
        const size_t from = report["command_line"].find("--src=");
        if (report["alive_at_done"] == "1" && report["done"] == "1" && from != std::string::npos)
            return report["command_line"].substr(from);
    }
    return "";
}

}  // namespace

// DLLs dropped in a product's bin folder under the names of system DLLs that are not KnownDLLs:
// none may run, and each job ends as without them (the hand-off still reads the real version).
TEST(PlantedSystemDlls, NoneRunsAndEveryJobEndsAsWithoutThem) {
    const struct {
        const char* job;
        const wchar_t* extension;
        const wchar_t* entry;
        DWORD exitCode;
        bool called;
        const char* refusal;
        const char* uploaderArguments;
    } cases[] = {
        {"extension job", L"e2e_ext.dll", L"Run", 0, true, nullptr, ""},
        {"unsigned extension", L"e2e_ext_unsigned.dll", L"Run", 0, false,
         "[I][  37][runner] HasMsSign Failed: ", ""},
        {"crash hand-off", L"e2e_ext.dll", L"Crash", EXCEPTION_ACCESS_VIOLATION, false, nullptr,
         "--src=extrun --ver=2.1.0.5 --rep=0"},
    };
    for (const auto& c : cases) {
        InstallTree tree(L"Haverlin.exe", LocalData(L"Haverlin"));
        for (const wchar_t* name : kPlanted)
            ASSERT_TRUE(tree.Add(std::wstring(L"planted_") + name + L".dll",
                                 std::wstring(L"bin\\") + name + L".dll"));
        ASSERT_TRUE(tree.Add(c.extension, L"ext\\x.dll"));
        ASSERT_TRUE(tree.Add(L"FaultSend.exe", L"bin\\FaultSend.exe"));
        tree.EnableLog();
        const std::wstring arguments = std::wstring(L"--dll=ext\\x.dll --entry=") + c.entry;

        EXPECT_EQ(c.exitCode, tree.Run(arguments)) << c.job;
        EXPECT_EQ(std::vector<std::string>{}, PlantedRuns(tree)) << c.job;
        // The extension appends what it receives: a second call would show.
        EXPECT_EQ(c.called ? L"\"" + tree.Launcher() + L"\" " + arguments : L"<missing>",
                  ReadWide(tree.Path(L"ext\\received.txt")))
            << c.job;
        EXPECT_EQ(c.uploaderArguments, AwaitedUploaderArguments(tree)) << c.job;
        // A crash ends the process before its log is written out.
        if (c.exitCode != 0) continue;
        std::vector<std::string> log = {"-------log start", "-------log end"};
        if (c.refusal) log.insert(log.begin() + 1, c.refusal + ToUtf8(tree.Path(L"ext\\x.dll")));
        EXPECT_EQ(log, LogBodies(tree.ReadLog())) << c.job;
    }
}
