#pragma once

#include <windows.h>

// A faulting thread may have no stack left, or another thread may hold a
// lock that starting a program needs (the process heap, the loader lock).
// So the hand-off's work is done on a thread of its own, made while arming
// with a stack of its own; a hook only hands its record over and waits.

// Starts that thread; once per process. False when it could not be had:
// every hook then does the work on its own thread.
bool StartHandOffThread();

// Has the uploader started for `pointers`, a fault of the calling thread,
// and waits until it has ended. Gives up, as after a failed start, when the
// uploader could not be started within a bound; once started it is awaited
// without limit. Faults of several threads are handed over one after the
// other.
void HandOverFault(EXCEPTION_POINTERS* pointers);

// The hand-off's work itself: finds FaultSend.exe and starts it, hidden,
// for a fault of thread `threadId`. Its process handle, or null when it
// could not be started.
HANDLE StartUploader(EXCEPTION_POINTERS* pointers, DWORD threadId);
