#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "install_tree.h"
#include "package/package_builder.h"

using namespace testsupport;

namespace {

std::wstring Package(const std::vector<package::RecordSpec>& records) {
    const std::string text = package::EncodePackage(package::BuildImage(records));
    return std::wstring(text.begin(), text.end());
}

std::wstring PackageWithCommandLine(const std::wstring& commandLine) {
    return Package(
        {{"dmms", "other", "x"}, {"dmms", "cmd_line", package::Utf16Bytes(commandLine)}});
}

bool WaitForLogEnd(const InstallTree& tree) {
    for (int i = 0; i < 400; ++i, Sleep(50))
        if (tree.ReadLog().find("-------log end") != std::string::npos) return true;
    return false;
}

// Deletes `path` and waits until it is gone: the copy a case before started can still hold it
// for a moment after writing its last line, and its old text would pass for the next case's.
bool DeleteOnceFree(const std::wstring& path) {
    for (int i = 0; i < 400; ++i, Sleep(50)) {
        DeleteFileW(path.c_str());
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    }
    return false;
}

}  // namespace

TEST(Relaunch, StartsAHiddenCopyWithTheRecordsCommandLineOrNoneInTheSameFolderAndSettings) {
    InstallTree tree(L"Pomberly.exe", LocalData(L"Pomberly"));
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", L"ext\\e2e_ext.dll"));
    tree.EnableLog();
    const std::wstring inner = L"extrun.exe --dll=ext\\e2e_ext.dll --entry=Report \"quoted arg\"";
    const std::wstring full =
        L"extrun.exe --dll=ext\\e2e_ext.dll --entry=Report --pad=" + std::wstring(5000, L'p');
    // Read in the ANSI code page, whose best fit gives back a package spelt with U+0100 and U+0101.
    std::wstring fitted = PackageWithCommandLine(inner);
    for (wchar_t& c : fitted) c = c == L'A' ? L'\u0100' : c == L'a' ? L'\u0101' : c;
    const struct {
        std::wstring param, seen;  // seen: none when the copy has no --dll to call
    } cases[] = {
        {PackageWithCommandLine(inner), inner},
        {fitted, inner},
        // The copy's command line buffer keeps its terminator: a longer line is cut.
        {PackageWithCommandLine(full), full.substr(0, 4095)},
        // Without the record the copy starts with an empty command line.
        {Package({{"dmms", "cmd_lime", package::Utf16Bytes(L"x")}}), L""},
        {L"!!not-base64!!", L""},
        {std::wstring(3000, L'Q'), L""},
    };
    for (const auto& c : cases) {
        const std::wstring received = tree.Path(L"ext\\received.txt");
        ASSERT_TRUE(DeleteOnceFree(received));
        ASSERT_TRUE(DeleteOnceFree(tree.LogPath()));
        EXPECT_EQ(tree.Run(L"--param=" + c.param + L" --dll=ext\\none.dll"), 0u);
        // Only the copy logged; the relaunching process wrote nothing.
        ASSERT_TRUE(WaitForLogEnd(tree));
        EXPECT_EQ(LogBodies(tree.ReadLog()),
                  (std::vector<std::string>{"-------log start", "-------log end"}));
        if (c.seen.empty()) {
            EXPECT_FALSE(Exists(received));
            continue;
        }
        // What the sample extension's Report wrote, a line each.
        const std::vector<std::string> lines = SplitLines(ToUtf8(ReadWide(received)), "\n");
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], ToUtf8(c.seen));
        EXPECT_EQ(lines[1], "1 0") << "STARTF_USESHOWWINDOW with SW_HIDE";
        EXPECT_EQ(_stricmp(lines[2].c_str(), ToUtf8(tree.Root()).c_str()), 0)
            << "the current folder";
        // No fault dialog, and a single-threaded COM apartment.
        EXPECT_EQ(lines[3],
                  std::to_string(SEM_NOGPFAULTERRORBOX) + " " + std::to_string(APTTYPE_MAINSTA));
    }
}

TEST(Relaunch, AFailedStartSignalsTheSyncEventAndExitsWithOne) {
    InstallTree tree(L"Cindrew.exe", RoamingData(L"Cindrew"));
    const std::wstring eventName = L"extrun-test-sync-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(event);
    const std::wstring param = PackageWithCommandLine(L"extrun.exe --dll=ext\\a.dll --entry=Run");
    tree.EnableLog();

    // Renaming the launcher while it is suspended makes its start of its own path fail.
    auto runRenamed = [&](const std::wstring& arguments) {
        PROCESS_INFORMATION pi = {};
        EXPECT_TRUE(StartProcess(L"\"" + tree.Launcher() + L"\" " + arguments, &pi,
                                 CREATE_SUSPENDED, tree.Root(), tree.Launcher()));
        const std::wstring moved = tree.Path(L"bin\\moved.exe");
        EXPECT_TRUE(MoveFileW(tree.Launcher().c_str(), moved.c_str()));
        ResumeThread(pi.hThread);
        WaitForSingleObject(pi.hProcess, 30000);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        MoveFileW(moved.c_str(), tree.Launcher().c_str());
        return code;
    };

    EXPECT_EQ(runRenamed(L"--param=" + param + L" sync=" + eventName), 1u);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    ResetEvent(event.get());
    EXPECT_EQ(runRenamed(L"--param=" + param + L" sync=no-such-event-" + eventName), 1u);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(runRenamed(L"--param=" + param + L" --dumpid=" + eventName), 1u);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Sleep(500);
    EXPECT_FALSE(Exists(tree.LogPath())) << "no copy may have started";
}
