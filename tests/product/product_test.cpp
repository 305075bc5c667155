#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

// Runs product_probe.exe from <install>\bin with markers at paths under <install> ("bin\x.exe"
// is level 0, "x.exe" level 1): the recognised id or -1, and the data folder into `folder`.
int Probe(const std::vector<std::wstring>& markers, int levelsUp, std::wstring* folder = nullptr) {
    TempDir install(L"product");
    const std::wstring probe = install / L"bin\\product_probe.exe";
    if (!MakeDirs(install / L"bin") || !CopyTo(BinPath(L"product_probe.exe"), probe)) return -1;
    for (const std::wstring& marker : markers)
        if (!WriteBytes(install / marker, "MZ")) return -1;
    const std::wstring answer = install / L"folder.txt";
    std::wstring commandLine = L"\"" + probe + L"\" " + std::to_wstring(levelsUp);
    if (folder) commandLine += L" \"" + answer + L"\"";
    const auto run = RunProcess(commandLine, install.Path(), 30000, probe);
    if (folder) *folder = ReadWide(answer);
    return run.started && !run.timedOut ? static_cast<int>(run.exitCode) : -1;
}

}  // namespace

TEST(ProductDetection, TheLowestIdWhoseMarkerIsAtTheGivenLevelWins) {
    const std::tuple<std::vector<std::wstring>, int, int> cases[] = {
        // The markers, the level asked for, the id expected.
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
    for (const auto& [markers, levelsUp, id] : cases)
        EXPECT_EQ(Probe(markers, levelsUp), id) << ToUtf8(markers[0]) << " at " << levelsUp;
}

// The folders are the prefix's own: each is removed before and after.
TEST(ProductDataFolder, EachStoreGetsItsFolderMadeAndKeepsAnExistingOne) {
    std::wstring folder;
    // No product recognised: an empty text.
    EXPECT_EQ(Probe({L"bin\\Tessaly.exe", L"notaproduct.exe"}, 1, &folder), 0);
    EXPECT_EQ(folder, L"");

    const std::tuple<int, const wchar_t*, const wchar_t*, bool> cases[] = {
        // The id, its marker, its data folder, whether that is local: every product.
        {3, L"hollin.exe", L"Vantiro", false},     {60, L"kelmora.exe", L"kelmora", false},
        {61, L"Pendrake.exe", L"Sarvenn", false},  {62, L"Ulmarro.exe", L"Tobrisk", false},
        {63, L"morvane.exe", L"Morvane", true},    {64, L"quenlow.exe", L"Quenlow", false},
        {65, L"brisbeck.exe", L"ristavel", false}, {66, L"Faskorn.exe", L"Faskorn", true},
        {67, L"Drellik.exe", L"Drellik", true},    {68, L"Ulvetta.exe", L"Ulvetta", true},
        {69, L"Brenhold.exe", L"Brenhold", true},  {70, L"Cindrew.exe", L"Cindrew", false},
        {71, L"Haverlin.exe", L"Haverlin", true},  {72, L"Oskaru.exe", L"Oskaru", true},
        {73, L"Zemprow.exe", L"Zemprow", true},    {74, L"Lirrafen.exe", L"Lirrafen", true},
        {75, L"Nobrecht.exe", L"Nobrecht", true},  {76, L"Galwick.exe", L"Galwick", false},
        {77, L"Yestrom.exe", L"Yestrom", true},    {78, L"Pomberly.exe", L"Pomberly", true},
        {79, L"Xandrel.exe", L"Xandrel", true},    {80, L"Wistmere.exe", L"Wistmere", true},
        {81, L"Jorvessa.exe", L"Jorvessa", true},  {82, L"Ebbingvale.exe", L"Ebbingvale", true},
        {83, L"Corliven.exe", L"Corliven", true},  {84, L"Fennarow.exe", L"Ambrith", true},
        {85, L"Tessaly.exe", L"Tessaly", false},
    };
    for (const auto& [id, marker, name, local] : cases) {
        const std::wstring expected = (local ? LocalData : RoamingData)(name);
        RemoveTree(expected);
        EXPECT_EQ(Probe({marker}, 1, &folder), id);
        EXPECT_EQ(folder, expected) << id;
        EXPECT_TRUE(PathIsDirectoryW(expected.c_str())) << id;
        RemoveTree(expected);
    }

    const std::wstring existing = LocalData(L"Drellik");
    ASSERT_TRUE(MakeDirs(existing));
    ASSERT_TRUE(WriteBytes(existing + L"\\kept.txt", "kept"));
    EXPECT_EQ(Probe({L"bin\\Drellik.exe"}, 0, &folder), 67);
    EXPECT_EQ(folder, existing);
    EXPECT_EQ(ReadText(existing + L"\\kept.txt"), "kept");
    RemoveTree(existing);
}
