#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace testsupport;

const std::string kMissing = "[I][  32][runner] PathFileExists: ";
const std::string kRefused = "[I][  37][runner] HasMsSign Failed: ";
const std::string kLoadFailed = "[I][  44][runner] LoadLibrary Failed: ";

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

std::string ReadText(const std::wstring& path) {
    std::string text;
    ReadBytes(path, &text);
    return text;
}

// The loader runs in ext_runner_host, a process of its own per run, laid out
// as an installed product (App\bin\<host>.exe, App\ext\*.dll), log switched on.
class Host {
public:
    Host() : dir_(L"runner") {
        MakeDirs(App() + L"\\bin");
        MakeDirs(App() + L"\\ext");
        CopyTo(BinPath(L"ext_runner_host.exe"), Exe());
        WriteBytes(Log() + L".on", "");
    }
    std::wstring App() const { return dir_ / L"App"; }
    std::wstring Exe() const { return App() + L"\\bin\\" + name; }
    std::wstring Log() const { return dir_ / L"extrun.log"; }

    std::wstring Add(const wchar_t* fixture) const {
        const std::wstring path = App() + L"\\ext\\x.dll";
        EXPECT_TRUE(CopyTo(BinPath(fixture), path));
        return path;
    }
    // ExtensionRunner::Run(dll, entry); the exit code is its result.
    DWORD Run(const std::wstring& dll, const std::wstring& entry, const std::wstring& more = L"") {
        line_ = Quote(Exe()) + L" " + Quote(Log()) + L" " + Quote(dll) + L" " + Quote(entry) + more;
        const ProcessResult result = RunProcess(line_, dir_.Path(), 60000, Exe());
        EXPECT_TRUE(result.started && !result.timedOut) << ToUtf8(line_);
        return result.exitCode;
    }
    std::string CommandLineBytes() const {
        return std::string(reinterpret_cast<const char*>(line_.data()), line_.size() * 2);
    }
    // The loader's records, from their level tag on.
    std::vector<std::string> Records() const {
        std::vector<std::string> records;
        for (const std::string& line : SplitLines(ReadText(Log())))
            if (line.find("][runner] ") != std::string::npos)
                records.push_back(line.substr(line.find("[I][")));
        return records;
    }

    // Unique, so that a Windows version set for it reaches no other program.
    const std::wstring name = L"host-" + std::to_wstring(GetCurrentProcessId()) + L".exe";

private:
    TempDir dir_;
    std::wstring line_;
};

TEST(ExtensionRunner, CallsTheEntryWithTheWholeCommandLine) {
    // Absolute, and relative to the parent of the program's folder.
    for (const bool relative : {false, true}) {
        Host host;
        const std::wstring dll = host.Add(relative ? L"ext_record_en.dll" : L"ext_record.dll");
        EXPECT_EQ(1u, host.Run(relative ? L"ext\\x.dll" : dll, L"Run", L" \"two words\" tail"));
        EXPECT_EQ(host.CommandLineBytes(), ReadText(dll + L".cmdline"));
        EXPECT_TRUE(host.Records().empty());
    }
}

TEST(ExtensionRunner, LogsEachRefusalWithTheResolvedPathAndLoadsNothing) {
    const struct {
        const wchar_t* fixture;
        const std::string& record;
        bool heldByWriter;
    } cases[] = {
        {nullptr, kMissing, false},
        {L"ext_record_unsigned.dll", kRefused, false},
        {L"ext_record.dll", kRefused, true},
        {L"ext_record32.dll", kLoadFailed, false},
    };
    for (const auto& c : cases) {
        Host host;
        const std::wstring dll = c.fixture ? host.Add(c.fixture) : host.App() + L"\\ext\\x.dll";
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        HANDLE writer = c.heldByWriter ? CreateFileW(dll.c_str(), GENERIC_WRITE, share, nullptr,
                                                     OPEN_EXISTING, 0, nullptr)
                                       : INVALID_HANDLE_VALUE;
        EXPECT_EQ(0u, host.Run(L"ext\\x.dll", L"Run")) << c.record;
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        EXPECT_EQ(std::vector<std::string>{c.record + ToUtf8(dll)}, host.Records());
        EXPECT_FALSE(Exists(dll + L".attached")) << c.record;
    }
}

TEST(ExtensionRunner, LeavesAnExtensionWithoutTheEntryLoadedAndSaysNothing) {
    Host host;
    const std::wstring dll = host.Add(L"ext_noexport.dll");
    EXPECT_EQ(0u, host.Run(dll, L"Run"));
    EXPECT_TRUE(Exists(dll + L".attached")) << "its DllMain ran";
    EXPECT_TRUE(host.Records().empty());
}

TEST(ExtensionRunner, CutsAnAbsolutePathAfter259Units) {
    Host host;
    const std::wstring folder = host.App() + L"\\ext\\";
    const std::wstring exact = folder + std::wstring(259 - folder.size() - 4, L'x') + L".dll";
    ASSERT_TRUE(CopyTo(BinPath(L"ext_record.dll"), exact));
    EXPECT_EQ(1u, host.Run(exact + L".old", L"Run"));

    const std::wstring missing = folder + std::wstring(300, L'y');
    EXPECT_EQ(0u, host.Run(missing, L"Run"));
    EXPECT_EQ(std::vector<std::string>{kMissing + ToUtf8(missing.substr(0, 259))}, host.Records());
}

TEST(ExtensionRunner, KeepsOthersFromChangingTheFileFromCheckToLoad) {
    Host host;
    const std::wstring dll = host.Add(L"ext_record.dll");
    // Tried by another opener as the check starts, and by the extension
    // itself from inside LoadLibraryW.
    EXPECT_EQ(1u, host.Run(dll, L"Run", L" --probe"));
    EXPECT_EQ("write=denied rename=denied delete=denied", ReadText(dll + L".window"));
    EXPECT_EQ("rename=denied", ReadText(dll + L".attached"));
}

TEST(ExtensionRunner, LoadsAnUnsignedExtensionWhereWindowsXpIsReported) {
    Host host;
    const std::wstring dll = host.Add(L"ext_record_unsigned.dll");
    EXPECT_EQ(0u, host.Run(dll, L"Run"));
    // Wine reports this version to the program of that file name only.
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + host.name;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ,
                                             L"winxp", sizeof(L"winxp")));
    EXPECT_EQ(1u, host.Run(dll, L"Run"));
    RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
