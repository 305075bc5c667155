#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Runs product_probe.exe from <install>\bin with markers at paths under <install> ("bin\x.exe"
// is level 0, "x.exe" level 1): the recognised id or -1, and the data folder into `folder`.
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

// The folders are the prefix's own: each is removed before and after.
TEST(ProductDataFolder, EachStoreGetsItsFolderMadeAndKeepsAnExistingOne) {
    auto store = [](bool local, const wchar_t* name) {
        wchar_t path[MAX_PATH] = {};
        SHGetSpecialFolderPathW(nullptr, path, local ? CSIDL_LOCAL_APPDATA : CSIDL_APPDATA, FALSE);
        return std::wstring(path) + L"\\" + name;
    };
    std::wstring folder;
    // No product recognised: an empty text.
    EXPECT_EQ(Probe({L"bin\\Tessaly.exe", L"notaproduct.exe"}, 1, &folder), 0);
    EXPECT_EQ(folder, L"");

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
        const std::wstring expected = store(c.local, c.folder);
        testsupport::RemoveTree(expected);
        EXPECT_EQ(Probe({c.marker}, 1, &folder), c.id);
        EXPECT_EQ(folder, expected) << c.id;
        EXPECT_TRUE(PathIsDirectoryW(expected.c_str())) << c.id;
        testsupport::RemoveTree(expected);
    }

    const std::wstring existing = store(true, L"Drellik");
    ASSERT_TRUE(testsupport::MakeDirs(existing));
    ASSERT_TRUE(testsupport::WriteBytes(existing + L"\\kept.txt", "kept"));
    EXPECT_EQ(Probe({L"bin\\Drellik.exe"}, 0, &folder), 67);
    EXPECT_EQ(folder, existing);
    std::string kept;
    EXPECT_TRUE(testsupport::ReadBytes(existing + L"\\kept.txt", &kept));
    EXPECT_EQ(kept, "kept");
    testsupport::RemoveTree(existing);
}
