#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "package/package_builder.h"
#include "test_support.h"

using namespace testsupport;

namespace {

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring PackageWithCommandLine(const std::wstring& commandLine) {
    return Widen(package::EncodePackage(package::BuildImage(
        {{"dmms", "other", "x"}, {"dmms", "cmd_line", package::Utf16Bytes(commandLine)}})));
}

// A probe copied into its own folder, with the file its relaunched copy
// writes what it was started with.
class RelaunchTest : public testing::Test {
protected:
    void SetUp() override {
        probe_ = dir_ / L"probe.exe";
        seen_ = dir_ / L"seen.txt";
        ASSERT_TRUE(CopyTo(BinPath(L"app_relaunch_probe.exe"), probe_));
        SetEnvironmentVariableW(L"EXTRUN_PROBE_OUT", seen_.c_str());
    }
    void TearDown() override { SetEnvironmentVariableW(L"EXTRUN_PROBE_OUT", nullptr); }

    DWORD Relaunch(const std::wstring& arguments) {
        ProcessResult r =
            RunProcess(L"\"" + probe_ + L"\" " + arguments, dir_.Path(), 30000, probe_);
        EXPECT_TRUE(r.started);
        return r.exitCode;
    }

    // Lines the relaunched copy wrote: command line, "show-flag wShowWindow",
    // current folder.
    std::vector<std::wstring> Seen() {
        std::vector<std::wstring> lines;
        if (!WaitForFile(seen_, 20000)) return lines;
        std::string bytes;
        ReadBytes(seen_, &bytes);
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                          bytes.size() / sizeof(wchar_t));
        for (size_t start = 0, nl; (nl = text.find(L'\n', start)) != std::wstring::npos;
             start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        return lines;
    }

    TempDir dir_{L"relaunch"};
    std::wstring probe_, seen_;
};

}  // namespace

TEST_F(RelaunchTest, StartsAHiddenCopyWithTheRecordsCommandLine) {
    const std::wstring commandLine = L"elsewhere.exe --dll=ext\\a.dll --entry=Run \"quoted arg\"";
    EXPECT_EQ(Relaunch(L"--param=" + PackageWithCommandLine(commandLine) + L" --dll=ignored.dll"),
              0u);
    const auto lines = Seen();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], commandLine);
    EXPECT_EQ(lines[1], L"1 0") << "STARTF_USESHOWWINDOW with SW_HIDE";
    EXPECT_EQ(_wcsicmp(lines[2].c_str(), dir_.Path().c_str()), 0) << "inherits the current folder";
}

TEST_F(RelaunchTest, APackageWithoutTheRecordStartsTheCopyWithAnEmptyCommandLine) {
    const std::wstring noRecord = Widen(package::EncodePackage(
        package::BuildImage({{"dmms", "cmd_lime", package::Utf16Bytes(L"x")}})));
    for (const std::wstring& param :
         {noRecord, std::wstring(L"!!not-base64!!"), std::wstring(3000, L'Q')}) {
        DeleteFileW(seen_.c_str());
        EXPECT_EQ(Relaunch(L"--param=" + param), 0u);
        const auto lines = Seen();
        ASSERT_EQ(lines.size(), 3u);
        // An empty buffer: Windows shows the copy an empty command line,
        // Wine the quoted program path. Either way, nothing of the package.
        EXPECT_TRUE(lines[0].empty() || lines[0] == L"\"" + probe_ + L"\"") << lines[0];
    }
}

TEST_F(RelaunchTest, ACommandLineFillingTheBufferIsCutToKeepItsTerminator) {
    const std::wstring longLine = L"x.exe --pad=" + std::wstring(5000, L'p');
    EXPECT_EQ(Relaunch(L"--param=" + PackageWithCommandLine(longLine)), 0u);
    const auto lines = Seen();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], longLine.substr(0, 4095));
}

TEST_F(RelaunchTest, AFailedStartSignalsTheSyncEventAndExitsWithOne) {
    const std::wstring eventName = L"extrun-test-sync-" + std::to_wstring(GetCurrentProcessId());
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(event, nullptr);
    const std::wstring param = PackageWithCommandLine(L"x.exe");

    // Renaming the program while it is suspended makes its start of its own
    // path fail.
    auto runRenamed = [&](const std::wstring& arguments) {
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi = {};
        std::wstring line = L"\"" + probe_ + L"\" " + arguments;
        EXPECT_TRUE(CreateProcessW(probe_.c_str(), line.data(), nullptr, nullptr, FALSE,
                                   CREATE_SUSPENDED, nullptr, dir_.Path().c_str(), &si, &pi));
        const std::wstring moved = dir_ / (L"moved-" + std::to_wstring(pi.dwProcessId) + L".exe");
        EXPECT_TRUE(MoveFileW(probe_.c_str(), moved.c_str()));
        ResumeThread(pi.hThread);
        WaitForSingleObject(pi.hProcess, 30000);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        CopyTo(moved, probe_);
        return code;
    };

    EXPECT_EQ(runRenamed(L"--param=" + param + L" sync=" + eventName), 1u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    ResetEvent(event);
    EXPECT_EQ(runRenamed(L"--param=" + param + L" sync=no-such-event-" + eventName), 1u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(runRenamed(L"--param=" + param), 1u);
    EXPECT_FALSE(Exists(seen_)) << "no copy may have started";
    CloseHandle(event);
}
