#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <set>
#include <string>
#include <vector>

#include "install_tree.h"

namespace {

using testsupport::Exists;

std::wstring SpecialFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
    return path;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// These tests use the prefix's real application-data folders: a data folder
// that a test brought into being is removed again when the test ends.
class RemoveIfCreated {
public:
    explicit RemoveIfCreated(std::wstring path) : path_(std::move(path)), existed_(Exists(path_)) {}
    ~RemoveIfCreated() {
        if (!existed_) testsupport::RemoveTree(path_);
    }
    bool Existed() const { return existed_; }

private:
    std::wstring path_;
    bool existed_;
};

std::set<std::wstring> FolderEntries(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do names.insert(data.cFileName);
    while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// Points the user's local application-data folder elsewhere for as long as
// the object lives (Wine reads it from the registry in every new process).
class LocalAppDataRedirect {
public:
    explicit LocalAppDataRedirect(const std::wstring& folder) {
        RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key_);
        DWORD size = sizeof(original_);
        hadValue_ = RegQueryValueExW(key_, kValue, nullptr, &type_,
                                     reinterpret_cast<BYTE*>(original_), &size) == ERROR_SUCCESS;
        originalSize_ = size;
        set_ = RegSetValueExW(
                   key_, kValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    ~LocalAppDataRedirect() {
        if (hadValue_)
            RegSetValueExW(key_, kValue, 0, type_, reinterpret_cast<const BYTE*>(original_),
                           originalSize_);
        else
            RegDeleteValueW(key_, kValue);
        RegCloseKey(key_);
    }
    bool Set() const { return set_; }

private:
    static constexpr wchar_t kKey[] =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static constexpr wchar_t kValue[] = L"Local AppData";
    HKEY key_ = nullptr;
    DWORD type_ = REG_EXPAND_SZ;
    wchar_t original_[1024] = {};
    DWORD originalSize_ = 0;
    bool hadValue_ = false;
    bool set_ = false;
};

struct StoreCase {
    int id;
    const wchar_t* marker;
    const wchar_t* folderName;
    int store;
};

}  // namespace

TEST(ProductDataFolder, EachProductsFolderLiesInItsStoreAndIsCreated) {
    const std::vector<StoreCase> cases = {
        {3, L"hollin.exe", L"Vantiro", CSIDL_APPDATA},
        {60, L"kelmora.exe", L"kelmora", CSIDL_APPDATA},
        {63, L"morvane.exe", L"Morvane", CSIDL_LOCAL_APPDATA},
        {64, L"quenlow.exe", L"Quenlow", CSIDL_APPDATA},
        {65, L"brisbeck.exe", L"ristavel", CSIDL_APPDATA},
        {70, L"Cindrew.exe", L"Cindrew", CSIDL_APPDATA},
        {76, L"Galwick.exe", L"Galwick", CSIDL_APPDATA},
        {83, L"Corliven.exe", L"Corliven", CSIDL_LOCAL_APPDATA},
        {84, L"Fennarow.exe", L"Ambrith", CSIDL_LOCAL_APPDATA},
        {85, L"Tessaly.exe", L"Tessaly", CSIDL_APPDATA},
    };
    for (const StoreCase& c : cases) {
        const std::wstring expected = SpecialFolder(c.store) + L"\\" + c.folderName;
        RemoveIfCreated cleanup(expected);
        InstallTree tree;
        ASSERT_TRUE(tree.PlaceMarker(1, c.marker));
        EXPECT_EQ(tree.Ask(L"folder", 1), expected) << c.id;
        EXPECT_TRUE(IsFolder(expected)) << c.id;
    }
}

TEST(ProductDataFolder, AnExistingFolderIsReturnedAsItIs) {
    const std::wstring folder = SpecialFolder(CSIDL_LOCAL_APPDATA) + L"\\Drellik";
    RemoveIfCreated cleanup(folder);
    ASSERT_TRUE(testsupport::MakeDirs(folder));
    ASSERT_TRUE(testsupport::WriteBytes(folder + L"\\kept.txt", "kept"));

    InstallTree tree;
    ASSERT_TRUE(tree.PlaceMarker(0, L"Drellik.exe"));
    EXPECT_EQ(tree.Ask(L"folder", 0), folder);
    std::string kept;
    EXPECT_TRUE(testsupport::ReadBytes(folder + L"\\kept.txt", &kept));
    EXPECT_EQ(kept, "kept");
    if (cleanup.Existed()) DeleteFileW((folder + L"\\kept.txt").c_str());
}

TEST(ProductDataFolder, AMissingFolderIsCreatedWithItsMissingParents) {
    InstallTree tree;
    const std::wstring store = tree.TempRoot() + L"\\missing\\deeper\\Local";
    LocalAppDataRedirect redirect(store);
    ASSERT_TRUE(redirect.Set());
    ASSERT_TRUE(tree.PlaceMarker(1, L"Drellik.exe"));
    EXPECT_EQ(tree.Ask(L"folder", 1), store + L"\\Drellik");
    EXPECT_TRUE(IsFolder(store + L"\\Drellik"));
}

TEST(ProductDataFolder, NoRecognisedProductGivesAnEmptyTextAndMakesNoFolder) {
    const std::wstring roaming = SpecialFolder(CSIDL_APPDATA);
    const std::wstring local = SpecialFolder(CSIDL_LOCAL_APPDATA);
    const auto roamingBefore = FolderEntries(roaming);
    const auto localBefore = FolderEntries(local);

    InstallTree tree;
    // Present, but not where levels 1 and -1 look.
    ASSERT_TRUE(tree.PlaceMarker(0, L"Tessaly.exe"));
    ASSERT_TRUE(tree.PlaceMarker(1, L"notaproduct.exe"));
    EXPECT_EQ(tree.Ask(L"folder", 1), L"");
    EXPECT_EQ(tree.Ask(L"folder", -1), L"");

    EXPECT_EQ(FolderEntries(roaming), roamingBefore);
    EXPECT_EQ(FolderEntries(local), localBefore);
}
