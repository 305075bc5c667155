#pragma once

#include <windows.h>

namespace trust {

// The shape of WinVerifyTrust.
using TrustCall = LONG(WINAPI*)(HWND window, GUID* action, LPVOID data);

// Replaces the function that VerifyPublisherSignature calls for its verify
// and close calls, and returns the one it replaced; null restores
// WinVerifyTrust. Only tests use it: Wine accepts every chain error, so the
// statuses and provider data that Windows gives can only be produced here.
TrustCall SetTrustCallForTesting(TrustCall call);

}  // namespace trust
