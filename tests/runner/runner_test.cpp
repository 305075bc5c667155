#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "test_support.h"

// The loader runs in ext_runner_host, a process of its own per case: what it
// loads stays loaded, relative paths are taken against the host's folder,
// and the log is the real one, switched on by its ".on" file.
namespace {

using testsupport::BinPath;
using testsupport::CopyTo;
using testsupport::Exists;
using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::ToUtf8;

class RunnerHost {
public:
    // The host and the extensions are copied into <temp>\App\bin and
    // <temp>\App\ext, as an installed product lays them out.
    RunnerHost() : dir_(L"runner") {
        testsupport::MakeDirs(App() + L"\\bin");
        testsupport::MakeDirs(App() + L"\\ext");
        testsupport::MakeDirs(dir_ / L"Log");
        CopyTo(BinPath(L"ext_runner_host.exe"), Host());
    }

    std::wstring App() const { return dir_ / L"App"; }
    std::wstring Host() const { return App() + L"\\bin\\host.exe"; }
    std::wstring LogPath() const { return dir_ / L"Log\\extrun.log"; }
    std::wstring Dir() const { return dir_.Path(); }

    // Copies a built extension into App\ext under `name`; returns its path.
    std::wstring AddExtension(const wchar_t* fixture, const std::wstring& name) const {
        const std::wstring path = App() + L"\\ext\\" + name;
        EXPECT_TRUE(CopyTo(BinPath(fixture), path));
        return path;
    }

    void SwitchLogOn() const { testsupport::WriteBytes(LogPath() + L".on", ""); }

    // Runs the host with the log on LogPath(); returns the exit code, which
    // is the loader's result.
    DWORD Run(const std::wstring& arguments) {
        commandLine_ = L"\"" + Host() + L"\" \"--log=" + LogPath() + L"\" " + arguments;
        const auto result = testsupport::RunProcess(commandLine_, dir_.Path(), 60000, Host());
        EXPECT_TRUE(result.started && !result.timedOut) << ToUtf8(commandLine_);
        return result.exitCode;
    }
    const std::wstring& CommandLine() const { return commandLine_; }

    // The loader's own lines in the log: everything from its tag on.
    std::vector<std::string> RunnerRecords() const {
        std::string text;
        std::vector<std::string> records;
        if (!ReadBytes(LogPath(), &text)) return records;
        for (const std::string& line : testsupport::SplitLines(text)) {
            const size_t tag = line.find("[I][");
            if (tag != std::string::npos && line.find("][runner] ", tag) != std::string::npos)
                records.push_back(line.substr(tag));
        }
        return records;
    }

private:
    TempDir dir_;
    std::wstring commandLine_;
};

std::wstring Arg(const wchar_t* key, const std::wstring& value) {
    return L"\"" + std::wstring(key) + value + L"\"";
}

std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string ReadText(const std::wstring& path) {
    std::string text;
    ReadBytes(path, &text);
    return text;
}

TEST(ExtensionRunner, CallsTheEntryOnceWithTheWholeCommandLine) {
    RunnerHost host;
    host.SwitchLogOn();
    const std::wstring dll = host.AddExtension(L"ext_record.dll", L"record.dll");
    EXPECT_EQ(1u,
              host.Run(Arg(L"--dll=", dll) + L" --entry=Run --dumpid=7 \"--note=two words\" tail"));
    EXPECT_EQ(Utf16Bytes(host.CommandLine()), ReadText(dll + L".cmdline"));
    EXPECT_TRUE(host.RunnerRecords().empty());
}

TEST(ExtensionRunner, TakesARelativePathAgainstTheParentOfTheProgramFolder) {
    RunnerHost host;
    host.SwitchLogOn();
    const std::wstring dll = host.AddExtension(L"ext_record_en.dll", L"relative.dll");
    EXPECT_EQ(1u, host.Run(L"--dll=ext\\relative.dll --entry=Run"));
    EXPECT_TRUE(Exists(dll + L".cmdline"));

    EXPECT_EQ(0u, host.Run(L"--dll=ext\\absent.dll --entry=Run"));
    EXPECT_EQ(std::vector<std::string>{"[I][  32][runner] PathFileExists: " + ToUtf8(host.App()) +
                                       "\\ext\\absent.dll"},
              host.RunnerRecords());
}

TEST(ExtensionRunner, CutsAnAbsolutePathToItsFirst259Units) {
    RunnerHost host;
    host.SwitchLogOn();
    // A DLL whose path is exactly 259 units long, named by a longer path.
    const std::wstring folder = host.App() + L"\\ext\\";
    const std::wstring exact = folder + std::wstring(259 - folder.size() - 4, L'x') + L".dll";
    ASSERT_EQ(259u, exact.size());
    ASSERT_TRUE(CopyTo(BinPath(L"ext_record.dll"), exact));
    // The extension's own files would lie beyond MAX_PATH beside it.
    const std::wstring record = host.Dir() + L"\\long.cmdline";
    SetEnvironmentVariableW(L"EXTRUN_RECORD_FILE", record.c_str());
    EXPECT_EQ(1u, host.Run(Arg(L"--dll=", exact + L".old") + L" --entry=Run"));
    SetEnvironmentVariableW(L"EXTRUN_RECORD_FILE", nullptr);
    EXPECT_TRUE(Exists(record));

    const std::wstring missing = folder + std::wstring(300, L'y');
    EXPECT_EQ(0u, host.Run(Arg(L"--dll=", missing) + L" --entry=Run"));
    EXPECT_EQ(std::vector<std::string>{"[I][  32][runner] PathFileExists: " +
                                       ToUtf8(missing.substr(0, 259))},
              host.RunnerRecords());
}

TEST(ExtensionRunner, LogsEachRefusalWithTheResolvedPathAndLoadsNothing) {
    const struct {
        const wchar_t* fixture;
        const char* record;
    } cases[] = {
        {nullptr, "[I][  32][runner] PathFileExists: "},
        {L"ext_record_unsigned.dll", "[I][  37][runner] HasMsSign Failed: "},
        {L"ext_record_case.dll", "[I][  37][runner] HasMsSign Failed: "},
        {L"ext_record_blank.dll", "[I][  37][runner] HasMsSign Failed: "},
        {L"ext_record_tampered.dll", "[I][  37][runner] HasMsSign Failed: "},
        {L"ext_record32.dll", "[I][  44][runner] LoadLibrary Failed: "},
    };
    for (const auto& c : cases) {
        RunnerHost host;
        host.SwitchLogOn();
        const std::wstring dll = c.fixture ? host.AddExtension(c.fixture, L"refused.dll")
                                           : host.App() + L"\\ext\\refused.dll";
        EXPECT_EQ(0u, host.Run(Arg(L"--dll=", dll) + L" --entry=Run")) << c.record;
        EXPECT_EQ(std::vector<std::string>{c.record + ToUtf8(dll)}, host.RunnerRecords());
        EXPECT_FALSE(Exists(dll + L".attached")) << c.record;
        EXPECT_FALSE(Exists(dll + L".cmdline")) << c.record;
    }
}

TEST(ExtensionRunner, LeavesAnExtensionWithoutTheEntryLoadedAndSaysNothing) {
    const struct {
        const wchar_t* fixture;
        const wchar_t* entry;
    } cases[] = {
        {L"ext_noexport.dll", L"Run"},
        {L"ext_record.dll", L"Missing"},
        {L"ext_record.dll", L"run"},
    };
    for (const auto& c : cases) {
        RunnerHost host;
        host.SwitchLogOn();
        const std::wstring dll = host.AddExtension(c.fixture, L"quiet.dll");
        EXPECT_EQ(0u, host.Run(Arg(L"--dll=", dll) + L" " + Arg(L"--entry=", c.entry)));
        EXPECT_TRUE(Exists(dll + L".attached")) << "its initialisation ran";
        EXPECT_FALSE(Exists(dll + L".cmdline"));
        EXPECT_TRUE(host.RunnerRecords().empty());
    }
}

TEST(ExtensionRunner, RefusesEmptyInputsSilently) {
    RunnerHost host;
    host.SwitchLogOn();
    const std::wstring dll = host.AddExtension(L"ext_record.dll", L"record.dll");
    EXPECT_EQ(0u, host.Run(L"--dll= --entry=Run"));
    EXPECT_EQ(0u, host.Run(Arg(L"--dll=", dll) + L" --entry="));
    EXPECT_FALSE(Exists(dll + L".attached"));
    EXPECT_TRUE(host.RunnerRecords().empty());
}

TEST(ExtensionRunner, WritesNothingWhileTheLogIsSwitchedOff) {
    for (const wchar_t* fixture : {L"ext_record_unsigned.dll", L"ext_record32.dll"}) {
        RunnerHost host;
        const std::wstring dll = host.AddExtension(fixture, L"refused.dll");
        EXPECT_EQ(0u, host.Run(Arg(L"--dll=", dll) + L" --entry=Run"));
        EXPECT_EQ(0u, host.Run(L"--dll=ext\\absent.dll --entry=Run"));
        EXPECT_FALSE(Exists(host.LogPath()));
    }
}

TEST(ExtensionRunner, LooksTheEntryUpInTheThreadCodePage) {
    // U+4E2D has no place in code page 1252, the prefix's ANSI code page; it
    // becomes '?', and the extension exports "R?n".
    RunnerHost host;
    const std::wstring dll = host.AddExtension(L"ext_record.dll", L"record.dll");
    ASSERT_EQ(1252u, GetACP());
    EXPECT_EQ(1u, host.Run(Arg(L"--dll=", dll) + L" --entry=R\u4E2Dn"));
    EXPECT_EQ(Utf16Bytes(host.CommandLine()), ReadText(dll + L".cmdline"));
}

TEST(ExtensionRunner, KeepsOthersFromChangingTheFileFromCheckToLoad) {
    RunnerHost host;
    SetEnvironmentVariableW(L"EXTRUN_PROBE_RENAME", L"1");
    const std::wstring held = host.AddExtension(L"ext_record.dll", L"held.dll");
    const std::wstring checked = host.AddExtension(L"ext_record.dll", L"checked.dll");
    const std::wstring loaded = host.AddExtension(L"ext_record.dll", L"loaded.dll");

    // Probed as the check starts and as it ends, and from the extension's
    // initialisation inside LoadLibraryW.
    EXPECT_EQ(1u, host.Run(Arg(L"--dll=", held) + L" --entry=Run --probe-window"));
    EXPECT_EQ(
        "verify: write=denied rename=denied delete=denied\r\n"
        "close: write=denied rename=denied delete=denied\r\n",
        ReadText(held + L".window"));
    EXPECT_EQ("attached\r\nown-file-rename=denied\r\n", ReadText(held + L".attached"));

    // Neither the check nor the load keeps them off by itself.
    host.Run(Arg(L"--verify=", checked) + L" --probe-window");
    EXPECT_EQ("verify: write=allowed rename=allowed delete=allowed\r\n",
              ReadText(checked + L".window"));
    EXPECT_EQ(1u, host.Run(Arg(L"--load=", loaded)));
    EXPECT_EQ("attached\r\nown-file-rename=allowed\r\n", ReadText(loaded + L".attached"));
    SetEnvironmentVariableW(L"EXTRUN_PROBE_RENAME", nullptr);
}

TEST(ExtensionRunner, RefusesAFileThatSomeoneHasOpenForWriting) {
    RunnerHost host;
    host.SwitchLogOn();
    const std::wstring dll = host.AddExtension(L"ext_record.dll", L"busy.dll");
    HANDLE writer = CreateFileW(dll.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    EXPECT_EQ(0u, host.Run(Arg(L"--dll=", dll) + L" --entry=Run"));
    CloseHandle(writer);
    EXPECT_EQ(std::vector<std::string>{"[I][  37][runner] HasMsSign Failed: " + ToUtf8(dll)},
              host.RunnerRecords());
    EXPECT_FALSE(Exists(dll + L".attached"));
}

}  // namespace
