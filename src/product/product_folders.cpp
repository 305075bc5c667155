#include "product/product_folders.h"
// Placeholder until product detection lands.
int DetectProductId(int) { return 0; }
WString GetProductDataFolder(int) { return WString(); }
