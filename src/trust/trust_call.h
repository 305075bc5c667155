#pragma once

#include <windows.h>

#include "trust/publisher_pins.h"

namespace trust {

// The shape of WinVerifyTrust.
using TrustCall = LONG(WINAPI*)(HWND window, GUID* action, LPVOID data);

// Replaces the function that VerifyPublisherSignature calls for its verify
// and close calls, and returns the one it replaced; null restores
// WinVerifyTrust. Only tests use it: Wine accepts every chain error, so the
// statuses and provider data that Windows gives can only be produced here.
TrustCall SetTrustCallForTesting(TrustCall call);

// The Windows major version as GetVersionExW reports it (a compatibility
// layer can lower it) and as the system's own numbers give it
// (RtlGetNtVersionNumbers). The check is skipped only when both are below 6.
struct MajorVersions {
    DWORD reported;
    DWORD system;
};
using VersionQuery = MajorVersions (*)();

// Replaces where VerifyPublisherSignature reads the two versions from, and
// returns what it replaced; null restores the system's answers. Only tests
// use it: Wine reports its one configured version through both, so only
// here can they differ.
VersionQuery SetVersionQueryForTesting(VersionQuery query);

// Replaces the keys the check and the extension loader take as pinned, and
// returns what it replaced; null restores the build's own. Only tests use
// it: one test program checks both a build that pins nothing and one that
// pins the test CA.
const PublisherPins* SetPublisherPinsForTesting(const PublisherPins* pins);

// Pins `pins` (null: no key at all) for as long as it lives.
class ScopedPublisherPinsForTesting {
public:
    explicit ScopedPublisherPinsForTesting(const PublisherPins* pins) {
        static const PublisherPins kNone = {nullptr, 0};
        SetPublisherPinsForTesting(pins ? pins : &kNone);
    }
    ~ScopedPublisherPinsForTesting() { SetPublisherPinsForTesting(nullptr); }
    ScopedPublisherPinsForTesting(const ScopedPublisherPinsForTesting&) = delete;
    ScopedPublisherPinsForTesting& operator=(const ScopedPublisherPinsForTesting&) = delete;
};

}  // namespace trust
