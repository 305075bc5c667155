#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "test_support.h"

namespace {

using testsupport::BinPath;
using testsupport::CopyTo;
using testsupport::RunProcess;
using testsupport::TempDir;

// Wine reports the Windows version named by this key to the program whose
// file name it carries, and to no other.
class ReportedWindowsVersion {
public:
    ReportedWindowsVersion(const std::wstring& programName, const wchar_t* version)
        : key_(L"Software\\Wine\\AppDefaults\\" + programName) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return;
        set_ = RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                              static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~ReportedWindowsVersion() { RegDeleteKeyW(HKEY_CURRENT_USER, key_.c_str()); }
    bool IsSet() const { return set_; }

private:
    std::wstring key_;
    bool set_ = false;
};

DWORD Verify(const std::wstring& host, const std::wstring& file) {
    const auto result =
        RunProcess(L"\"" + host + L"\" \"--verify=" + file + L"\"", L"", 60000, host);
    EXPECT_TRUE(result.started && !result.timedOut);
    return result.exitCode;
}

TEST(VerifyPublisherSignature, PassesEveryExistingFileOnWindowsXp) {
    TempDir dir(L"trust-xp");
    // Copies under names of their own, so that no other program is affected.
    const std::wstring stem = L"xp-probe-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring xpHost = dir / (stem + L"-xp.exe");
    const std::wstring sevenHost = dir / (stem + L"-7.exe");
    const std::wstring unsignedDll = dir / L"unsigned.dll";
    ASSERT_TRUE(CopyTo(BinPath(L"ext_runner_host.exe"), xpHost));
    ASSERT_TRUE(CopyTo(BinPath(L"ext_runner_host.exe"), sevenHost));
    ASSERT_TRUE(CopyTo(BinPath(L"ext_record_unsigned.dll"), unsignedDll));

    ReportedWindowsVersion xp(stem + L"-xp.exe", L"winxp");
    ASSERT_TRUE(xp.IsSet());
    EXPECT_EQ(1u, Verify(xpHost, unsignedDll));
    EXPECT_EQ(1u, Verify(xpHost, BinPath(L"ext_record_tampered.dll")));
    EXPECT_EQ(0u, Verify(xpHost, dir / L"missing.dll")) << "existence is still required";

    EXPECT_EQ(0u, Verify(sevenHost, unsignedDll)) << "the prefix's own version verifies";
}

}  // namespace
