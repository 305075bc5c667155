#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "crash/file_version.h"
#include "test_support.h"

using testsupport::BinPath;

namespace {

std::string Narrow(const WString& text) { return testsupport::ToUtf8(text.c_str()); }

// Runs a copy of version_probe.exe that Wine shows the given Windows version
// (its AppDefaults key) on `file`; the exit code, or -1.
int ProbeUnder(const std::wstring& windowsVersion, const std::wstring& file) {
    const std::wstring exe = L"version_probe_" + windowsVersion + L".exe";
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + exe;
    testsupport::TempDir dir(L"version");
    int code = -1;
    if (RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, windowsVersion.c_str(),
                        static_cast<DWORD>((windowsVersion.size() + 1) * sizeof(wchar_t))) ==
            ERROR_SUCCESS &&
        testsupport::CopyTo(BinPath(L"version_probe.exe"), dir / exe)) {
        const auto run = testsupport::RunProcess(L"\"" + (dir / exe) + L"\" \"" + file + L"\"",
                                                 dir.Path(), 30000, dir / exe);
        if (run.started && !run.timedOut) code = static_cast<int>(run.exitCode);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    return code;
}

}  // namespace

TEST(FileVersion, TheStringTableIsReadOnlyOnWindows10WithANativeSystemNot64Bit) {
    const struct {
        const wchar_t* dll;
        const char* fromStringTable;
    } cases[] = {
        {L"version_commas.dll", "1.2.3.4"},
        {L"version_beta.dll", "5.0beta"},
        {L"version_second.dll", "6.1.0.2"},
        // The first FileVersion found ends the search even when blank.
        {L"version_blank.dll", "3.10.200.7"},
    };
    // Windows 10 and not 64-bit comes last: the string-table path.
    const int flagSets[][2] = {{0, 1}, {1, 1}, {0, 0}, {1, 0}};
    for (const auto& flags : flagSets) {
        SetSystemVersionFlagsForTesting(flags[0], flags[1]);
        for (const auto& c : cases) {
            WString version(L"before");
            EXPECT_TRUE(GetFileVersionString(WString(BinPath(c.dll).c_str()), version));
            EXPECT_EQ(Narrow(version), flags[0] && !flags[1] ? c.fromStringTable : "3.10.200.7")
                << Narrow(c.dll) << " " << flags[0] << flags[1];
        }
    }
}

TEST(FileVersion, AFileWithoutVersionInformationLeavesTheOutputUnchanged) {
    SetSystemVersionFlagsForTesting(1, 0);
    for (const std::wstring& path :
         {BinPath(L"version_probe.exe"), BinPath(L"no_such_file.dll"), std::wstring()}) {
        WString version(L"before");
        EXPECT_FALSE(GetFileVersionString(WString(path.c_str()), version)) << Narrow(path.c_str());
        EXPECT_EQ(Narrow(version), "before");
    }
}

TEST(FileVersion, NtVersionSixFourAndTenOrLaterCountAsWindows10) {
    const unsigned long windows10[][2] = {{6, 4}, {10, 0}, {11, 2}};
    const unsigned long older[][2] = {{6, 1}, {6, 3}, {6, 5}, {9, 9}, {0, 0}};
    for (const auto& v : windows10) EXPECT_TRUE(CountsAsWindows10OrLater(v[0], v[1])) << v[0];
    for (const auto& v : older) EXPECT_FALSE(CountsAsWindows10OrLater(v[0], v[1])) << v[0];
}

TEST(FileVersion, TheSystemIsExaminedOnlyAsFarAsAReadVersionResourceNeeds) {
    // Exit bits: result, Windows 10 determined and set, native 64-bit
    // determined and set.
    EXPECT_EQ(ProbeUnder(L"win7", BinPath(L"version_probe.exe")), 0);
    EXPECT_EQ(ProbeUnder(L"win7", BinPath(L"version_commas.dll")), 0b00011);
    // RtlGetNtVersionNumbers reports 10; this system is 64-bit.
    EXPECT_EQ(ProbeUnder(L"win10", BinPath(L"version_commas.dll")), 0b11111);
}
