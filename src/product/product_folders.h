#pragma once

#include <cstddef>

#include "common/path_buffer.h"
#include "common/wstring.h"

// One product's text: its data folder's name or its main program's file name.
struct ProductText {
    int id;
    const wchar_t* text;
};

// The known products (ids 3 and 60 to 85), one entry each in ascending id
// order. Constant data in the image: nothing to build before the entry
// point, nothing to walk but an array.
inline constexpr size_t kProductCount = 27;
extern const ProductText ProductDataFolderNames[kProductCount];
extern const ProductText ProductMarkerFiles[kProductCount];

// Where a product keeps its per-user data: CSIDL_APPDATA (roaming) or
// CSIDL_LOCAL_APPDATA, chosen from the id alone.
int ProductDataStore(int productId);

// Id of the first product (ascending id) whose main program lies in the
// folder `levelsUp` levels above the program's own folder; 0 when none.
// `marker`, when given, receives that program's path. `program`, when given,
// is the path of another program, whose folder the levels count from.
int DetectProductId(int levelsUp, PathBuffer* marker = nullptr, const wchar_t* program = nullptr);

// The recognised product's data folder, whether or not it exists; empty when
// no product is recognised. `productId`, `marker` and `program` as for
// DetectProductId.
WString FindProductDataFolder(int levelsUp, int* productId = nullptr, PathBuffer* marker = nullptr,
                              const wchar_t* program = nullptr);

// FindProductDataFolder's folder, created if missing.
WString GetProductDataFolder(int levelsUp);
