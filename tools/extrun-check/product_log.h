#pragma once

#include <string>

// The name a product goes by: its data folder's; empty for an unknown id.
const wchar_t* ProductName(int productId);

// --log=on: the switch file beside the log of the product the launcher beside this program
// recognises, with the folders it needs, created as the launcher would create the data folder;
// --log=off: that file removed. `said` gets what was done, or why not. False when no product is
// recognised (a switch file on the current drive's root would switch on every product-less
// launcher of every user) or the file cannot be made or removed.
bool SwitchLog(bool on, std::wstring* said);
