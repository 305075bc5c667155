#pragma once

#include "common/wstring.h"

// Reads a file's version as text ("1.2.3.4"). True when `version` was
// written; false leaves it unchanged.
//
// On Windows 10 or later with a native system that is not 64-bit, the
// FileVersion text of the resource's string table is preferred; otherwise,
// and when that text is missing or blank, the fixed file version is used.
bool GetFileVersionString(const WString& path, WString& version);

// What RtlGetNtVersionNumbers' major.minor pair means for the version text:
// 6.4 (early Windows 10 builds) and 10 or later count as Windows 10.
bool CountsAsWindows10OrLater(unsigned long major, unsigned long minor);

// The two process-wide facts GetFileVersionString decides by; each is
// determined on first need, at most once per process.
struct SystemVersionFlags {
    int isWindows10OrLater;
    int isNative64BitSystem;
    bool windows10OrLaterDetermined;
    bool native64BitSystemDetermined;
};
SystemVersionFlags ReadSystemVersionFlags();

// Test seam: marks both facts as determined with the given values, so the
// string-table path can be reached on a 64-bit system.
void SetSystemVersionFlagsForTesting(int isWindows10OrLater, int isNative64BitSystem);
