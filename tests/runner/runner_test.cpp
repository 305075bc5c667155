#include <gtest/gtest.h>

#include <windows.h>
#include <wintrust.h>

#include <string>

#include "runner/runner.h"
#include "test_support.h"
#include "trust/trust_call.h"

// The test CA's pins (tests/fixtures/pinned.cmake).
extern const trust::PublisherPins kTestCaPublisherPins;

namespace {

using namespace testsupport;

// Pins the test CA's key (or, with null, none) while it lives.
struct ScopedPins {
    explicit ScopedPins(const trust::PublisherPins* pins) {
        static const trust::PublisherPins kNone = {nullptr, 0};
        trust::SetPublisherPinsForTesting(pins ? pins : &kNone);
    }
    ~ScopedPins() { trust::SetPublisherPinsForTesting(nullptr); }
};

// Stands in for WinVerifyTrust while it lives: runs `before` as the verify
// call starts, notes the file handle it was given, then verifies.
struct ScopedTrustCall {
    explicit ScopedTrustCall(void (*before)(const std::wstring& path)) {
        run = before;
        trust::SetTrustCallForTesting(&Call);
    }
    ~ScopedTrustCall() { trust::SetTrustCallForTesting(nullptr); }
    static inline void (*run)(const std::wstring&) = nullptr;
    static inline HANDLE handed = nullptr;
    static LONG WINAPI Call(HWND window, GUID* action, LPVOID data) {
        const auto* request = static_cast<const WINTRUST_DATA*>(data);
        if (request->dwStateAction == WTD_STATEACTION_VERIFY) {
            handed = request->pFile->hFile;
            run(request->pFile->pcwszFilePath);
        }
        return WinVerifyTrust(window, action, data);
    }
};

const char* Outcome(bool done) { return done ? "allowed" : "denied"; }

// As WinTrust starts to verify, another opener tries to write, rename and
// delete the file; "<dll>.window" says what it could do.
void ProbeTheFile(const std::wstring& path) {
    const std::wstring moved = path + L".moved";
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    const bool write = writer != INVALID_HANDLE_VALUE;
    if (write) CloseHandle(writer);
    const bool rename = MoveFileExW(path.c_str(), moved.c_str(), 0);
    if (rename) MoveFileExW(moved.c_str(), path.c_str(), 0);
    const bool remove = DeleteFileW(path.c_str());
    WriteBytes(path + L".window", std::string("write=") + Outcome(write) +
                                      " rename=" + Outcome(rename) + " delete=" + Outcome(remove));
}

std::string ReadText(const std::wstring& path) {
    std::string text;
    ReadBytes(path, &text);
    return text;
}

}  // namespace

// Pinned, the folders are held as well while the DLL loads (Wine, unlike
// Windows, lets a folder go with an open file in it).
TEST(ExtensionRunner, KeepsOthersFromChangingTheFileFromCheckToLoad) {
    const struct {
        const wchar_t* fixture;
        const trust::PublisherPins* pins;
        const char* attached;
    } cases[] = {
        {L"ext_record.dll", nullptr, "rename=denied folder=allowed"},
        {L"ext_record_ca.dll", &kTestCaPublisherPins, "rename=denied folder=denied"},
    };
    for (const auto& c : cases) {
        TempDir dir(L"runner");
        const std::wstring dll = dir / L"x.dll";
        ASSERT_TRUE(CopyTo(BinPath(c.fixture), dll));
        ScopedPins pins(c.pins);
        ScopedTrustCall probe(&ProbeTheFile);
        EXPECT_EQ(1, ExtensionRunner().Run(dll.c_str(), L"Run")) << ToUtf8(c.fixture);
        EXPECT_EQ("write=denied rename=denied delete=denied", ReadText(dll + L".window"));
        // Tried by the extension itself from inside LoadLibraryW.
        EXPECT_EQ(c.attached, ReadText(dll + L".attached")) << ToUtf8(c.fixture);
        // Pinned, the check reads the held file rather than opening the path.
        EXPECT_EQ(c.pins != nullptr, ScopedTrustCall::handed != nullptr) << ToUtf8(c.fixture);
    }
}

// While the pinned file is checked, its folder is renamed and another DLL is
// put where it was. Windows loads the checked file from the renamed folder;
// Wine's final path of an open file keeps its old name, so the check that
// the path leads to the held file refuses it. Never does the other one load.
TEST(ExtensionRunner, WherePinnedAFolderSwappedDuringTheCheckLoadsNoOtherFile) {
    static TempDir dir(L"runner");
    const std::wstring folder = dir / L"ext", dll = folder + L"\\x.dll";
    ASSERT_TRUE(MakeDirs(folder) && CopyTo(BinPath(L"ext_record_ca.dll"), dll));
    ScopedPins pins(&kTestCaPublisherPins);
    ScopedTrustCall swap([](const std::wstring& path) {
        const std::wstring folder = dir / L"ext";
        if (MoveFileExW(folder.c_str(), (folder + L".old").c_str(), 0) && MakeDirs(folder))
            CopyTo(BinPath(L"ext_record.dll"), path);
    });
    const int result = ExtensionRunner().Run(dll.c_str(), L"Run");
    EXPECT_TRUE(Exists(folder + L".old\\x.dll")) << "the folder was not swapped";
    EXPECT_FALSE(Exists(dll + L".attached"));
    EXPECT_EQ(result == 1, Exists(folder + L".old\\x.dll.attached"));
}
