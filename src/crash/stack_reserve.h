#pragma once

#include <windows.h>

// Keeps `bytes` of the calling thread's stack for the hand-off after a stack
// overflow, so that the filter can still start the uploader there.
void ReserveStackForHandOff(ULONG bytes);
