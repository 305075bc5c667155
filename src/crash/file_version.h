#pragma once

#include "common/wstring.h"

// Reads a file's version as text ("1.2.3.4"). True when `version` was
// written; false leaves it unchanged.
bool GetFileVersionString(const WString& path, WString& version);
