#include "crash/crash_handoff.h"
// Placeholder until the hand-off lands.
CrashHandOff::CrashHandOff(const wchar_t*, const wchar_t*, unsigned char, bool) {}
