#pragma once

#include "common/wstring.h"

// Id of the first product (ascending id) whose main program lies in the
// folder `levelsUp` levels above the program's own folder; 0 when none.
int DetectProductId(int levelsUp);

// The recognised product's data folder, created if missing; empty when no
// product is recognised.
WString GetProductDataFolder(int levelsUp);
