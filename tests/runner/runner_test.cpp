#include <gtest/gtest.h>

#include <windows.h>
#include <wintrust.h>

#include <string>

#include "runner/runner.h"
#include "test_support.h"
#include "trust/trust_call.h"

namespace {

using namespace testsupport;

const char* Outcome(bool done) { return done ? "allowed" : "denied"; }

// As WinTrust starts to verify, another opener tries to write, rename and
// delete the file; "<dll>.window" says what it could do.
LONG WINAPI ProbeThenVerify(HWND window, GUID* action, LPVOID data) {
    const auto* request = static_cast<const WINTRUST_DATA*>(data);
    if (request->dwStateAction == WTD_STATEACTION_VERIFY) {
        const std::wstring path = request->pFile->pcwszFilePath, moved = path + L".moved";
        HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        const bool write = writer != INVALID_HANDLE_VALUE;
        if (write) CloseHandle(writer);
        const bool rename = MoveFileExW(path.c_str(), moved.c_str(), 0);
        if (rename) MoveFileExW(moved.c_str(), path.c_str(), 0);
        const bool remove = DeleteFileW(path.c_str());
        WriteBytes(path + L".window", std::string("write=") + Outcome(write) +
                                          " rename=" + Outcome(rename) +
                                          " delete=" + Outcome(remove));
    }
    return WinVerifyTrust(window, action, data);
}

std::string ReadText(const std::wstring& path) {
    std::string text;
    ReadBytes(path, &text);
    return text;
}

}  // namespace

TEST(ExtensionRunner, KeepsOthersFromChangingTheFileFromCheckToLoad) {
    TempDir dir(L"runner");
    const std::wstring dll = dir / L"x.dll";
    ASSERT_TRUE(CopyTo(BinPath(L"ext_record.dll"), dll));
    trust::SetTrustCallForTesting(&ProbeThenVerify);
    EXPECT_EQ(1, ExtensionRunner().Run(dll.c_str(), L"Run"));
    trust::SetTrustCallForTesting(nullptr);
    EXPECT_EQ("write=denied rename=denied delete=denied", ReadText(dll + L".window"));
    // Tried by the extension itself from inside LoadLibraryW.
    EXPECT_EQ("rename=denied", ReadText(dll + L".attached"));
}
