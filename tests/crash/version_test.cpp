#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "crash/file_version.h"
#include "test_support.h"

using testsupport::BinPath;

namespace {

WString Fixture(const wchar_t* name) { return WString(BinPath(name).c_str()); }

std::string Narrow(const WString& text) { return testsupport::ToUtf8(text.c_str()); }

struct VersionCase {
    const wchar_t* dll;
    const wchar_t* expected;
};

// The fixed file version of every fixture, whatever its string table says.
const std::vector<VersionCase> kFixedVersions = {
    {L"version_fixed.dll", L"3.10.200.7"},
    {L"version_commas.dll", L"1.0.0.1"},
    {L"version_beta.dll", L"5.0.0.0"},
    {L"version_second_translation.dll", L"2.0.0.0"},
    {L"version_no_file_version.dll", L"2.4.6.8"},
    {L"version_blank.dll", L"7.0.65535.0"},
    {L"version_no_translation.dll", L"4.3.2.1"},
};

// Gives a copy of version_probe.exe its own name and has Wine show that
// program the given Windows version, for as long as the object lives.
class ProbeWithWindowsVersion {
public:
    ProbeWithWindowsVersion(const std::wstring& exeName, const wchar_t* windowsVersion)
        : key_(L"Software\\Wine\\AppDefaults\\" + exeName), probe_(dir_ / exeName) {
        HKEY key = nullptr;
        ready_ = RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                 nullptr, &key, nullptr) == ERROR_SUCCESS;
        if (ready_) {
            ready_ = RegSetValueExW(
                         key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(windowsVersion),
                         static_cast<DWORD>((wcslen(windowsVersion) + 1) * sizeof(wchar_t))) ==
                     ERROR_SUCCESS;
            RegCloseKey(key);
        }
        ready_ = ready_ && testsupport::CopyTo(BinPath(L"version_probe.exe"), probe_);
    }
    ~ProbeWithWindowsVersion() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    bool Ready() const { return ready_; }

    // The probe's line: result, the two flags each as "determined value",
    // then the version text ("unchanged" when it was not written).
    std::string Read(const std::wstring& file) const {
        const std::wstring answer = dir_ / L"answer.txt";
        DeleteFileW(answer.c_str());
        const auto run =
            testsupport::RunProcess(L"\"" + probe_ + L"\" \"" + file + L"\" \"" + answer + L"\"",
                                    dir_.Path(), 30000, probe_);
        std::string text;
        if (!run.started || run.exitCode != 0 || !testsupport::ReadBytes(answer, &text))
            return "<failed>";
        return text;
    }

private:
    testsupport::TempDir dir_{L"version"};
    std::wstring key_;
    std::wstring probe_;
    bool ready_ = false;
};

}  // namespace

TEST(FileVersion, OutsideTheStringTablePathTheFixedVersionIsUsed) {
    // Not Windows 10; Windows 10 on a 64-bit system; neither.
    const int flagSets[][2] = {{0, 1}, {1, 1}, {0, 0}};
    for (const auto& flags : flagSets) {
        SetSystemVersionFlagsForTesting(flags[0], flags[1]);
        for (const VersionCase& c : kFixedVersions) {
            WString version(L"before");
            EXPECT_TRUE(GetFileVersionString(Fixture(c.dll), version));
            EXPECT_EQ(Narrow(version), Narrow(c.expected))
                << Narrow(c.dll) << " " << flags[0] << flags[1];
        }
    }
}

TEST(FileVersion, OnTheStringTablePathTheCleanedFileVersionTextIsPreferred) {
    SetSystemVersionFlagsForTesting(1, 0);
    const std::vector<VersionCase> cases = {
        {L"version_fixed.dll", L"9.8.7.6"},
        {L"version_commas.dll", L"1.2.3.4"},
        {L"version_beta.dll", L"5.0beta"},
        {L"version_second_translation.dll", L"6.1.0.2"},
        // No FileVersion in any translation, a blank one, no translation
        // list: the fixed version.
        {L"version_no_file_version.dll", L"2.4.6.8"},
        {L"version_blank.dll", L"7.0.65535.0"},
        {L"version_no_translation.dll", L"4.3.2.1"},
    };
    for (const VersionCase& c : cases) {
        WString version(L"before");
        EXPECT_TRUE(GetFileVersionString(Fixture(c.dll), version));
        EXPECT_EQ(Narrow(version), Narrow(c.expected)) << Narrow(c.dll);
    }
}

TEST(FileVersion, AFileWithoutVersionInformationLeavesTheOutputUnchanged) {
    const int flagSets[][2] = {{0, 1}, {1, 0}};
    const std::vector<WString> paths = {
        Fixture(L"version_none.dll"),
        Fixture(L"no_such_file.dll"),
        WString(testsupport::BinDir().c_str()),
        WString(),
    };
    for (const auto& flags : flagSets) {
        SetSystemVersionFlagsForTesting(flags[0], flags[1]);
        for (const WString& path : paths) {
            WString version(L"before");
            EXPECT_FALSE(GetFileVersionString(path, version)) << Narrow(path);
            EXPECT_EQ(Narrow(version), "before") << Narrow(path);
        }
    }
}

TEST(FileVersion, NtVersionSixFourAndTenOrLaterCountAsWindows10) {
    struct {
        unsigned long major, minor;
        bool expected;
    } cases[] = {
        {5, 1, false}, {6, 1, false}, {6, 3, false}, {6, 4, true},  {6, 5, false},
        {7, 0, false}, {9, 9, false}, {10, 0, true}, {11, 2, true}, {0, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CountsAsWindows10OrLater(c.major, c.minor), c.expected)
            << c.major << "." << c.minor;
}

TEST(FileVersion, TheSystemIsExaminedOnlyOnceAVersionResourceHasBeenRead) {
    ProbeWithWindowsVersion probe(L"version_probe_win7.exe", L"win7");
    ASSERT_TRUE(probe.Ready());
    EXPECT_EQ(probe.Read(BinPath(L"version_none.dll")), "0 0 0 0 0 unchanged");
    // Windows 7: the question of the native system never arises.
    EXPECT_EQ(probe.Read(BinPath(L"version_fixed.dll")), "1 1 0 0 0 3.10.200.7");
}

TEST(FileVersion, OnWindows10ThisSixtyFourBitSystemStillGivesTheFixedVersion) {
    ProbeWithWindowsVersion probe(L"version_probe_win10.exe", L"win10");
    ASSERT_TRUE(probe.Ready());
    EXPECT_EQ(probe.Read(BinPath(L"version_fixed.dll")), "1 1 1 1 1 3.10.200.7");
    EXPECT_EQ(probe.Read(BinPath(L"version_commas.dll")), "1 1 1 1 1 1.0.0.1");
}
