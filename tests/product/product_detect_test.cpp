#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

#include "install_tree.h"
#include "product/product_folders.h"

namespace {

struct MarkerCase {
    std::vector<std::wstring> markers;
    int expectedId;
};

}  // namespace

TEST(ProductDetection, TheLowestIdAmongThePresentMarkersWins) {
    const std::vector<MarkerCase> cases = {
        {{L"Cindrew.exe", L"Drellik.exe"}, 67},
        {{L"Tessaly.exe", L"kelmora.exe", L"hollin.exe"}, 3},
        {{L"Pendrake.exe", L"kelmora.exe"}, 60},
        {{L"Tessaly.exe", L"Fennarow.exe"}, 84},
        {{L"Tessaly.exe"}, 85},
        {{L"maribec.exe"}, 3},
        {{L"maribec.exe", L"kelmora.exe"}, 3},
        {{L"maribec.exe", L"hollin.exe"}, 3},
        // The file system decides names without regard to case.
        {{L"BRISBECK.EXE"}, 65},
        // Data folder names are not markers.
        {{L"Ambrith.exe", L"ristavel.exe"}, 0},
    };
    for (const MarkerCase& c : cases) {
        InstallTree tree;
        ASSERT_TRUE(tree.Ready());
        std::wstring list;
        for (const std::wstring& marker : c.markers) {
            ASSERT_TRUE(tree.PlaceMarker(1, marker));
            list += marker + L" ";
        }
        EXPECT_EQ(tree.DetectedId(1), c.expectedId) << testsupport::ToUtf8(list);
    }
}

TEST(ProductDetection, LevelZeroSearchesTheProgramsFolderAndLevelOneItsParent) {
    InstallTree beside;
    ASSERT_TRUE(beside.PlaceMarker(0, L"Oskaru.exe"));
    EXPECT_EQ(beside.DetectedId(0), 72);
    EXPECT_EQ(beside.DetectedId(1), 0);

    InstallTree above;
    ASSERT_TRUE(above.PlaceMarker(1, L"Oskaru.exe"));
    EXPECT_EQ(above.DetectedId(0), 0);
    EXPECT_EQ(above.DetectedId(1), 72);
}

TEST(ProductDetection, ANegativeOrHugeLevelFindsNothing) {
    InstallTree tree;
    ASSERT_TRUE(tree.PlaceMarker(0, L"kelmora.exe"));
    ASSERT_TRUE(tree.PlaceMarker(1, L"kelmora.exe"));
    EXPECT_EQ(tree.DetectedId(-1), 0);
    EXPECT_EQ(tree.DetectedId(INT_MIN), 0);
    // Climbs to the drive's root and stops there, without walking every level.
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(tree.DetectedId(INT_MAX), 0);
    EXPECT_LT(GetTickCount64() - start, 20000u);
}

TEST(ProductDetection, AMarkerWhoseJoinedPathDoesNotFitIsSkipped) {
    // A 247-unit root: root + "\Brenhold.exe" (id 69) needs 260 units plus
    // the terminator, root + "\Oskaru.exe" (id 72) fits.
    testsupport::TempDir base(L"long");
    constexpr size_t rootLength = 247;
    std::wstring root = base.Path();
    while (root.size() < rootLength) {
        const size_t room = rootLength - root.size() - 1;
        root += L"\\" + std::wstring(room < 60 ? room : 60, L'd');
    }
    ASSERT_EQ(root.size(), rootLength);
    ASSERT_TRUE(testsupport::MakeDirs(root));

    InstallTree tree(root, L"p.exe");
    ASSERT_TRUE(tree.Ready());
    ASSERT_TRUE(tree.PlaceMarker(1, L"Brenhold.exe"));
    ASSERT_TRUE(tree.PlaceMarker(1, L"Oskaru.exe"));
    EXPECT_EQ(tree.DetectedId(1), 72);
}

TEST(ProductDataStore, OnlyTheListedIdsKeepTheirDataInTheLocalStore) {
    const std::set<int> local = {63, 66, 67, 68, 69, 71, 72, 73, 74,
                                 75, 77, 78, 79, 80, 81, 82, 83, 84};
    ASSERT_EQ(ProductMarkerFiles.size(), 27u);
    for (const auto& [id, marker] : ProductMarkerFiles) {
        (void)marker;
        EXPECT_EQ(ProductDataStore(id), local.count(id) ? CSIDL_LOCAL_APPDATA : CSIDL_APPDATA)
            << id;
        EXPECT_EQ(ProductDataFolderNames.count(id), 1u) << id;
    }
    for (int id : {0, -1, 1, 2, 4, 59, 62, 85, 86, 1000})
        EXPECT_EQ(ProductDataStore(id), CSIDL_APPDATA) << id;
}
