#pragma once

// Constructing one arms the crash hand-off for the rest of the process: any
// fatal fault starts FaultSend.exe and waits for it. Destroying it does
// nothing; there is no disarming.
class CrashHandOff {
public:
    CrashHandOff(const wchar_t* source, const wchar_t* version, unsigned char rep, bool restart);
};
