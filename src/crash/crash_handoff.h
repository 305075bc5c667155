#pragma once

#include <windows.h>

// Constructing one arms the crash hand-off for the rest of the process: any
// fatal fault starts FaultSend.exe and waits for it. Destroying it does
// nothing; there is no disarming.
class CrashHandOff {
public:
    // `source` and `version` may be null (empty); a text longer than 259
    // units is cut to 259.
    CrashHandOff(const wchar_t* source, const wchar_t* version, unsigned char rep, bool restart);
};

// The hooks that cover every thread: the top-level filter (kept there by
// patching SetUnhandledExceptionFilter), the run-time's pure-call, new and
// invalid-parameter handlers, the abort behaviour and SIGABRT, SIGINT, SIGTERM.
void InstallProcessHooks();

// The hooks of the calling thread: terminate, unexpected, SIGFPE, SIGILL and
// SIGSEGV, and stack set aside so that a stack overflow can still be handed
// over.
void InstallThreadHooks();
