#include <gtest/gtest.h>

#include <windows.h>
#include <wintrust.h>

#include <string>
#include <tuple>

#include "runner/held_path.h"
#include "runner/runner.h"
#include "test_support.h"
#include "trust/trust_call.h"

// The test CA's pins (tests/fixtures/pinned.cmake).
extern const trust::PublisherPins kTestCaPublisherPins;

namespace {

using namespace testsupport;

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

// As WinTrust starts to verify, the file's folder is renamed and, with
// `swap`, another accepted DLL put where the file was.
template <bool swap>
void MoveTheFolder(const std::wstring& path) {
    const std::wstring folder = path.substr(0, path.rfind(L'\\'));
    if (MoveFileExW(folder.c_str(), (folder + L".old").c_str(), 0) && swap && MakeDirs(folder))
        CopyTo(BinPath(L"ext_record.dll"), path);
}

}  // namespace

// Pinned, the folders are held as well while the DLL loads (Wine lets a folder go with an open
// file in it), the check reads the held file, and a folder swapped meanwhile never hands the
// loader another DLL: Wine keeps the name an open file was opened by as its final path, which
// then opens the other DLL, so the file is refused (Windows would load the checked file from the
// renamed folder). extrun-check's step, CheckBeforeLoad, alone gives the same verdict and why.
TEST(ExtensionRunner, KeepsOthersFromChangingTheFileFromCheckToLoad) {
    // A build may pin a single key: the test CA's, the table's second.
    const trust::PublisherPins onlyTheTestCa = {kTestCaPublisherPins.keys + 1, 1};
    const struct {
        const wchar_t* fixture;
        const trust::PublisherPins* pins;
        void (*during)(const std::wstring& path);
        bool checked;
        int result;
        const char* attached;
    } cases[] = {
        {L"ext_record.dll", nullptr, &ProbeTheFile, true, 1, "rename=denied folder=allowed"},
        {L"ext_record32.dll", nullptr, &ProbeTheFile, true, 0, ""},  // cannot load
        {L"ext_record_unsigned.dll", nullptr, &ProbeTheFile, false, 0, ""},
        {L"ext_record_ca.dll", &onlyTheTestCa, &ProbeTheFile, true, 1,
         "rename=denied folder=denied"},
        {L"ext_record_ca.dll", &kTestCaPublisherPins, &MoveTheFolder<true>, false, 0, ""},
        {L"ext_record_ca.dll", &kTestCaPublisherPins, &MoveTheFolder<false>, false, 0, ""},
    };
    int notCheckedOnWindows = 0;
    for (const auto& c : cases) {
        // Whether Windows lets a folder go with the checked file open in it is not known here.
        if (!IsWine() && c.during != &ProbeTheFile) {
            ++notCheckedOnWindows;
            continue;
        }
        trust::ScopedPublisherPinsForTesting pins(c.pins);
        ScopedTrustCall probe(c.during);
        // Named as the fixture: a module of the same name already loaded is refused.
        for (const bool checkOnly : {true, false}) {
            TempDir dir(L"runner");
            const std::wstring dll = dir / L"ext\\" + c.fixture;
            ASSERT_TRUE(MakeDirs(dir / L"ext") && CopyTo(BinPath(c.fixture), dll));
            PathBuffer path;
            HeldExtension held;
            if (checkOnly) {
                EXPECT_EQ(c.checked, !CheckBeforeLoad(dll.c_str(), L"Run", path, held, nullptr))
                    << ToUtf8(c.fixture);
                EXPECT_EQ(c.during == &MoveTheFolder<false>,
                          held.loadRefusal == LoadNameRefusal::kFolders);
                continue;
            }
            EXPECT_EQ(c.result, ExtensionRunner().Run(dll.c_str(), L"Run")) << ToUtf8(c.fixture);
            if (c.during == &ProbeTheFile) {
                EXPECT_EQ("write=denied rename=denied delete=denied", ReadText(dll + L".window"));
            }
            // Nothing is made where a held folder was.
            EXPECT_FALSE(c.during == &MoveTheFolder<false> && Exists(dir / L"ext"));
            // Tried by the extension itself from inside LoadLibraryW.
            if (IsWine() || std::string(c.attached).find("folder=allowed") == std::string::npos)
                EXPECT_EQ(c.attached, ReadText(dll + L".attached")) << ToUtf8(c.fixture);
            else
                ++notCheckedOnWindows;
            EXPECT_EQ(c.pins != nullptr, ScopedTrustCall::handed != nullptr) << ToUtf8(c.fixture);
        }
    }
    if (notCheckedOnWindows > 0)
        GTEST_SKIP() << "not checked on Windows: " << notCheckedOnWindows
                     << " cases where a folder is renamed while a loaded or checked file in it is "
                        "open, which Wine allows";
}

// Wine gives every final path in the local form, a share's too. Given as a literal name, a volume
// without a drive is refused, and so is a stream, which is the same file to every check.
TEST(HeldPath, LiteralNamesLoseTheirPrefixAndStreamsAndVolumesAreRefused) {
    const std::tuple<const wchar_t*, const wchar_t*, size_t> cases[] = {
        {L"\\\\?\\C:\\a\\b.dll", L"C:\\a\\b.dll", 3},
        {L"\\\\.\\C:\\a\\b.dll", L"C:\\a\\b.dll", 3},
        {L"\\??\\UNC\\server\\share\\b.dll", L"\\\\server\\share\\b.dll", 15},
        {L"\\\\?\\Volume{1}\\b.dll", L"", 0},
    };
    for (const auto& [final, stripped, root] : cases) {
        PathBuffer path = {};
        EXPECT_EQ(StripFinalPath(final, path), root) << ToUtf8(final);
        EXPECT_STREQ(root ? path : L"", stripped);
    }
    EXPECT_FALSE(HeldPath().Hold(nullptr));  // a handle without a final path
    PathBuffer name;
    EXPECT_EQ(LoadNameRefusal::kStream, LoadNameFor(L"C:\\a\\b.dll:s", nullptr, name));
    const std::wstring full = L"C:\\" + std::wstring(256, L'a');  // no room for a final "."
    EXPECT_EQ(LoadNameRefusal::kForm, LoadNameFor(full.c_str(), nullptr, name));
}
