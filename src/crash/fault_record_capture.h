#pragma once

#include <windows.h>

// Windows' msvcrt hands a SIGSEGV or SIGFPE handler the fault's record
// through _pxcptinfoptrs. mingw's start-up exception handler, which raises
// these signals for faults in the program's own code, leaves it null, and so
// does Wine's msvcrt. A first-chance vectored handler therefore remembers,
// per thread, the record and context of the latest fault of the kinds that
// become those signals. (The pair it is handed lives in a frame of the
// dispatcher that is gone by the time the signal handler runs; the record
// and context themselves stay until dispatch ends.)

// Adds the vectored handler; once per process.
void StartFaultRecordCapture();

// The system's record of the fault that is being delivered to the calling
// thread as `signal` (SIGSEGV or SIGFPE): the run-time's if it has one, else
// `pair` filled with the record and context the vectored handler kept. Null
// when the signal came from raise() or the kept record cannot be the current
// one. `pair` must outlive the use of the result. `caller`, the hook's return
// address, tells a fault from a raise: only the start-up exception handler
// linked into this program turns a fault into a signal here, while raise()
// calls from msvcrt, and a record kept from a fault that was handled since
// (IsBadReadPtr, an __except) could otherwise pass for the current one.
EXCEPTION_POINTERS* FaultRecordForSignal(int signal, EXCEPTION_POINTERS& pair, const void* caller);
