#pragma once

#include <windows.h>

#include "common/wstring.h"

// Runs one extension: resolves the DLL, reads its version, arms the crash
// hand-off, opens the product's log and calls the entry. Always 0.
int RunExtensionJob(const WString& entry, const WString& dumpId, const WString& dll,
                    HINSTANCE instance);

// The log bracket around the extension loader. Always 0.
int RunWithLog(const WString& dllPath, const WString& entryName);
