#pragma once

#include <windows.h>

// What the uploader is told besides the fault: written once while arming,
// before any hook exists, and only read afterwards, so no lock guards it.
struct HandOffSettings {
    wchar_t source[MAX_PATH];
    wchar_t version[MAX_PATH];
    int rep;
    int restart;
};

extern HandOffSettings handOffSettings;
