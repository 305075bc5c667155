#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Runs product_probe.exe from <install>\bin with marker files at paths
// relative to <install> ("bin\x.exe" is level 0, "x.exe" level 1). Returns
// the recognised id, or -1; `folder` receives the data folder when given.
int Probe(const std::vector<std::wstring>& markers, int levelsUp, std::wstring* folder = nullptr) {
    testsupport::TempDir install(L"product");
    const std::wstring probe = install / L"bin\\product_probe.exe";
    if (!testsupport::MakeDirs(install / L"bin") ||
        !testsupport::CopyTo(testsupport::BinPath(L"product_probe.exe"), probe))
        return -1;
    for (const std::wstring& marker : markers)
        if (!testsupport::WriteBytes(install / marker, "MZ")) return -1;
    const std::wstring answer = install / L"folder.txt";
    std::wstring commandLine = L"\"" + probe + L"\" " + std::to_wstring(levelsUp);
    if (folder) commandLine += L" \"" + answer + L"\"";
    const auto run = testsupport::RunProcess(commandLine, install.Path(), 30000, probe);
    if (folder) *folder = testsupport::ReadWide(answer);
    return run.started && !run.timedOut ? static_cast<int>(run.exitCode) : -1;
}

// Points the roaming and local application-data folders at <root>\AppData
// and <root>\Local AppData while it lives; Wine reads them in every process.
class StoreRedirect {
public:
    explicit StoreRedirect(const std::wstring& root) {
        for (int i = 0; i < 2; ++i) {
            wchar_t old[2048] = {};
            DWORD size = sizeof(old);
            RegGetValueW(HKEY_CURRENT_USER, kKey, kNames[i], RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                         nullptr, old, &size);
            saved_[i] = old;
            set_ += Put(kNames[i], root + L"\\" + kNames[i]);
        }
    }
    ~StoreRedirect() {
        for (int i = 0; i < 2; ++i) Put(kNames[i], saved_[i]);
    }
    bool Set() const { return set_ == 2; }

private:
    static bool Put(const wchar_t* name, const std::wstring& path) {
        return RegSetKeyValueW(HKEY_CURRENT_USER, kKey, name, REG_EXPAND_SZ, path.c_str(),
                               static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    }
    static constexpr wchar_t kKey[] =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static constexpr const wchar_t* kNames[] = {L"AppData", L"Local AppData"};
    std::wstring saved_[2];
    int set_ = 0;
};

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

TEST(ProductDetection, TheLowestIdWhoseMarkerIsAtTheGivenLevelWins) {
    const struct {
        std::vector<std::wstring> markers;
        int levelsUp;
        int id;
    } cases[] = {
        {{L"Cindrew.exe", L"Drellik.exe"}, 1, 67},
        {{L"Tessaly.exe", L"kelmora.exe", L"hollin.exe"}, 1, 3},
        {{L"Tessaly.exe", L"Fennarow.exe"}, 1, 84},
        {{L"maribec.exe", L"kelmora.exe"}, 1, 3},
        {{L"BRISBECK.EXE"}, 1, 65},
        {{L"Ambrith.exe"}, 1, 0},  // a data folder name, not a marker
        {{L"bin\\Oskaru.exe"}, 0, 72},
        {{L"bin\\Oskaru.exe"}, 1, 0},
        {{L"Oskaru.exe"}, 0, 0},
        {{L"bin\\kelmora.exe", L"kelmora.exe"}, -1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Probe(c.markers, c.levelsUp), c.id)
            << testsupport::ToUtf8(c.markers[0]) << " at " << c.levelsUp;
}

TEST(ProductDataFolder, EachStoreGetsItsFolderMadeWithMissingParentsAndKeepsAnExistingOne) {
    testsupport::TempDir temp(L"stores");
    const std::wstring root = temp / L"missing";
    StoreRedirect redirect(root);
    ASSERT_TRUE(redirect.Set());
    std::wstring folder;

    // No product recognised: an empty text, and not even a store is made.
    EXPECT_EQ(Probe({L"bin\\Tessaly.exe", L"notaproduct.exe"}, 1, &folder), 0);
    EXPECT_EQ(folder, L"");
    EXPECT_FALSE(testsupport::Exists(root));

    const struct {
        int id;
        const wchar_t* marker;
        const wchar_t* folder;
        bool local;
    } cases[] = {
        {3, L"hollin.exe", L"Vantiro", false},     {60, L"kelmora.exe", L"kelmora", false},
        {63, L"morvane.exe", L"Morvane", true},    {64, L"quenlow.exe", L"Quenlow", false},
        {65, L"brisbeck.exe", L"ristavel", false}, {70, L"Cindrew.exe", L"Cindrew", false},
        {76, L"Galwick.exe", L"Galwick", false},   {83, L"Corliven.exe", L"Corliven", true},
        {84, L"Fennarow.exe", L"Ambrith", true},   {85, L"Tessaly.exe", L"Tessaly", false},
    };
    for (const auto& c : cases) {
        const std::wstring expected =
            root + (c.local ? L"\\Local AppData\\" : L"\\AppData\\") + c.folder;
        EXPECT_EQ(Probe({c.marker}, 1, &folder), c.id);
        EXPECT_EQ(folder, expected) << c.id;
        EXPECT_TRUE(IsFolder(expected)) << c.id;
    }

    const std::wstring existing = root + L"\\Local AppData\\Drellik";
    ASSERT_TRUE(testsupport::MakeDirs(existing));
    ASSERT_TRUE(testsupport::WriteBytes(existing + L"\\kept.txt", "kept"));
    EXPECT_EQ(Probe({L"bin\\Drellik.exe"}, 0, &folder), 67);
    EXPECT_EQ(folder, existing);
    std::string kept;
    EXPECT_TRUE(testsupport::ReadBytes(existing + L"\\kept.txt", &kept));
    EXPECT_EQ(kept, "kept");
}
