#pragma once

#include "common/wstring.h"

// Finds, checks, loads and calls one extension export.
class ExtensionRunner {
public:
    // 1 when the entry was called and returned, 0 otherwise.
    int Run(const WString& dllPath, const WString& entryName);
};
