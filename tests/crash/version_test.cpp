#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "crash/file_version.h"
#include "test_support.h"

using namespace testsupport;

namespace {

std::string Narrow(const WString& text) { return ToUtf8(text.c_str()); }

// Runs version_probe.exe on `file` under the Windows version Wine shows it (its AppDefaults key).
int ProbeUnder(const std::wstring& windowsVersion, const std::wstring& file) {
    const std::wstring exe = L"version_probe_" + windowsVersion + L".exe";
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + exe;
    TempDir dir(L"version");
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, windowsVersion.c_str(),
                    static_cast<DWORD>((windowsVersion.size() + 1) * sizeof(wchar_t)));
    CopyTo(BinPath(L"version_probe.exe"), dir / exe);
    const auto run =
        RunProcess(L"\"" + (dir / exe) + L"\" \"" + file + L"\"", dir.Path(), 30000, dir / exe);
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    return run.started && !run.timedOut ? static_cast<int>(run.exitCode) : -1;
}

}  // namespace

TEST(FileVersion, TheStringTableIsReadOnlyOnWindows10WithANativeSystemNot64Bit) {
    const struct {
        std::wstring path;
        const char* fromStringTable;
        const char* otherwise;  // "before": false, and the output left as it was
    } cases[] = {
        {BinPath(L"version_commas.dll"), "5.0.1beta", "3.10.200.7"},
        {BinPath(L"version_second.dll"), "6.1.0.2", "3.10.200.7"},
        {BinPath(L"version_single.dll"), "6.1.0.2", "3.10.200.7"},  // one translation
        // The first FileVersion found ends the search even when blank.
        {BinPath(L"version_blank.dll"), "3.10.200.7", "3.10.200.7"},
        {BinPath(L"version_untranslated.dll"), "3.10.200.7", "3.10.200.7"},
        {BinPath(L"version_textless.dll"), "3.10.200.7", "3.10.200.7"},
        {BinPath(L"version_probe.exe"), "before", "before"},
        {BinPath(L"no_such_file.dll"), "before", "before"},
        {L"", "before", "before"},
    };
    // Windows 10 and not 64-bit comes last: the string-table path.
    const int flagSets[][2] = {{0, 1}, {1, 1}, {0, 0}, {1, 0}};
    for (const auto& flags : flagSets) {
        SetSystemVersionFlagsForTesting(flags[0], flags[1]);
        for (const auto& c : cases) {
            const std::string expected = flags[0] && !flags[1] ? c.fromStringTable : c.otherwise;
            SCOPED_TRACE(Narrow(c.path.c_str()) + (flags[0] ? " Windows 10" : "") +
                         (flags[1] ? " 64-bit" : ""));
            WString version(L"before");
            EXPECT_EQ(GetFileVersionString(WString(c.path.c_str()), version), expected != "before");
            EXPECT_EQ(Narrow(version), expected);
        }
    }
}

TEST(FileVersion, NtVersionSixFourAndTenOrLaterCountAsWindows10) {
    const unsigned long windows10[][2] = {{6, 4}, {10, 0}, {11, 2}};
    const unsigned long older[][2] = {{6, 1}, {6, 3}, {6, 5}, {9, 9}, {0, 0}};
    for (const auto& v : windows10) EXPECT_TRUE(CountsAsWindows10OrLater(v[0], v[1])) << v[0];
    for (const auto& v : older) EXPECT_FALSE(CountsAsWindows10OrLater(v[0], v[1])) << v[0];
}

TEST(FileVersion, TheSystemIsExaminedOnlyAsFarAsAReadVersionResourceNeeds) {
    // Exit bits: result, Windows 10 determined and set, native 64-bit determined and set.
    EXPECT_EQ(ProbeUnder(L"win7", BinPath(L"version_probe.exe")), 0);
    // RtlGetNtVersionNumbers reports 10; this system is 64-bit.
    EXPECT_EQ(ProbeUnder(L"win10", BinPath(L"version_commas.dll")), 0b11111);
    if (!IsWine())
        GTEST_SKIP()
            << "not checked on Windows: a program shown Windows 7 (Wine's AppDefaults key)";
    EXPECT_EQ(ProbeUnder(L"win7", BinPath(L"version_commas.dll")), 0b00011);
}
