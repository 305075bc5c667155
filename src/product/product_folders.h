#pragma once

#include <map>

#include "common/wstring.h"

// The known products, keyed by product id (3 and 60 to 85). Built before the
// entry point and never changed; walked in ascending id order.
extern const std::map<int, WString> ProductDataFolderNames;
extern const std::map<int, WString> ProductMarkerFiles;

// Where a product keeps its per-user data: CSIDL_APPDATA (roaming) or
// CSIDL_LOCAL_APPDATA, chosen from the id alone.
int ProductDataStore(int productId);

// Id of the first product (ascending id) whose main program lies in the
// folder `levelsUp` levels above the program's own folder; 0 when none.
int DetectProductId(int levelsUp);

// The recognised product's data folder, created if missing; empty when no
// product is recognised.
WString GetProductDataFolder(int levelsUp);
