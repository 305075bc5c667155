#include "product/product_folders.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>

#include "common/path_buffer.h"

constexpr ProductText ProductDataFolderNames[kProductCount] = {
    {3, L"Vantiro"},   {60, L"kelmora"},  {61, L"Sarvenn"},  {62, L"Tobrisk"},    {63, L"Morvane"},
    {64, L"Quenlow"},  {65, L"ristavel"}, {66, L"Faskorn"},  {67, L"Drellik"},    {68, L"Ulvetta"},
    {69, L"Brenhold"}, {70, L"Cindrew"},  {71, L"Haverlin"}, {72, L"Oskaru"},     {73, L"Zemprow"},
    {74, L"Lirrafen"}, {75, L"Nobrecht"}, {76, L"Galwick"},  {77, L"Yestrom"},    {78, L"Pomberly"},
    {79, L"Xandrel"},  {80, L"Wistmere"}, {81, L"Jorvessa"}, {82, L"Ebbingvale"}, {83, L"Corliven"},
    {84, L"Ambrith"},  {85, L"Tessaly"},
};

constexpr ProductText ProductMarkerFiles[kProductCount] = {
    {3, L"hollin.exe"},    {60, L"kelmora.exe"},  {61, L"Pendrake.exe"}, {62, L"Ulmarro.exe"},
    {63, L"morvane.exe"},  {64, L"quenlow.exe"},  {65, L"brisbeck.exe"}, {66, L"Faskorn.exe"},
    {67, L"Drellik.exe"},  {68, L"Ulvetta.exe"},  {69, L"Brenhold.exe"}, {70, L"Cindrew.exe"},
    {71, L"Haverlin.exe"}, {72, L"Oskaru.exe"},   {73, L"Zemprow.exe"},  {74, L"Lirrafen.exe"},
    {75, L"Nobrecht.exe"}, {76, L"Galwick.exe"},  {77, L"Yestrom.exe"},  {78, L"Pomberly.exe"},
    {79, L"Xandrel.exe"},  {80, L"Wistmere.exe"}, {81, L"Jorvessa.exe"}, {82, L"Ebbingvale.exe"},
    {83, L"Corliven.exe"}, {84, L"Fennarow.exe"}, {85, L"Tessaly.exe"},
};

namespace {

// Lookups and the walk rely on one entry per id, in ascending order, the
// same ids in both tables.
constexpr bool SameAscendingIds(const ProductText (&a)[kProductCount],
                                const ProductText (&b)[kProductCount]) {
    for (size_t i = 0; i < kProductCount; ++i)
        if (a[i].id != b[i].id || (i > 0 && a[i].id <= a[i - 1].id)) return false;
    return true;
}
static_assert(SameAscendingIds(ProductDataFolderNames, ProductMarkerFiles));

// Product 3 shipped its main program under a second name as well.
constexpr int kSecondMarkerProduct = 3;
constexpr wchar_t kSecondMarker[] = L"maribec.exe";

// Bit (id - 63) set: the product keeps its data in the local store.
constexpr int kFirstMaskedId = 63;
constexpr int kLastMaskedId = 84;
constexpr unsigned kLocalStoreMask = 0x3FDF79;

// A join that does not fit in a path buffer names no file.
bool MarkerPresent(const wchar_t* folder, const wchar_t* marker, PathBuffer& joined) {
    std::memset(joined, 0, sizeof(joined));
    return PathCombineW(joined, folder, marker) && PathFileExistsW(joined);
}

}  // namespace

int ProductDataStore(int productId) {
    if (productId >= kFirstMaskedId && productId <= kLastMaskedId &&
        (kLocalStoreMask >> (productId - kFirstMaskedId)) & 1u)
        return CSIDL_LOCAL_APPDATA;
    return CSIDL_APPDATA;
}

int DetectProductId(int levelsUp, PathBuffer* marker, const wchar_t* program) {
    if (marker) (*marker)[0] = 0;
    if (levelsUp < 0) return 0;

    PathBuffer folder = {};
    if (program)
        CopyBounded(folder, program);
    else
        GetModuleFileNameW(nullptr, folder, MAX_PATH);
    PathRemoveFileSpecW(folder);
    for (int level = 0; level < levelsUp; ++level) {
        // Once at the root every further strip is a no-op, so a huge level
        // ends here rather than spinning through all its iterations.
        const size_t before = wcslen(folder);
        PathRemoveFileSpecW(folder);
        if (wcslen(folder) == before) break;
    }

    PathBuffer own;
    PathBuffer& joined = marker ? *marker : own;
    for (const auto& [id, name] : ProductMarkerFiles) {
        if (MarkerPresent(folder, name, joined)) return id;
        if (id == kSecondMarkerProduct && MarkerPresent(folder, kSecondMarker, joined)) return id;
    }
    joined[0] = 0;
    return 0;
}

WString FindProductDataFolder(int levelsUp, int* productId, PathBuffer* marker,
                              const wchar_t* program) {
    WString name;
    const int id = DetectProductId(levelsUp, marker, program);
    if (productId) *productId = id;
    for (const auto& [knownId, folderName] : ProductDataFolderNames)
        if (knownId == id) name = folderName;
    if (name.IsEmpty()) return WString();

    // The special-folder lookup is not checked: the composed path is the
    // answer whatever it gave.
    PathBuffer path = {};
    SHGetSpecialFolderPathW(nullptr, path, ProductDataStore(id), FALSE);
    PathAppendW(path, name.c_str());
    return WString(path);
}

WString GetProductDataFolder(int levelsUp) {
    const WString folder = FindProductDataFolder(levelsUp);
    // Not checked either: the path is the answer whether or not the folder
    // could be made.
    if (!folder.IsEmpty() && !PathFileExistsW(folder.c_str()))
        SHCreateDirectory(nullptr, folder.c_str());
    return folder;
}
