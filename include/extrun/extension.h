/* What an extension DLL exports for extrun.exe (C and C++).

   extrun.exe --dll=<the DLL> --entry=<Name> checks the DLL's signer, loads it and calls its export
   <Name> once, on the launcher's main thread, with the process's whole command line: the
   launcher's own path, then every argument as it was given (--dll, --entry and any options of the
   extension's own), zero-terminated UTF-16. The launcher waits for the call and ignores its
   result; the process ends when it returns.

   The export is found by its exact name, so the name must not be decorated: in C++ the entry
   needs extern "C". The DLL must be 64-bit, as the launcher is. EXTRUN_ENTRY(Name) defines the
   entry so:

       EXTRUN_ENTRY(Run) {
           ... commandLine ...
       }
*/
#ifndef EXTRUN_EXTENSION_H
#define EXTRUN_EXTENSION_H

#include <wchar.h>

/* The x64 calling convention: compilers for 64-bit Windows take __stdcall as that. */
#define EXTRUN_CALL __stdcall

/* The type of an entry, as the launcher calls it. */
typedef void(EXTRUN_CALL* ExtrunEntry)(const wchar_t* commandLine);

#ifdef __cplusplus
#define EXTRUN_ENTRY(name) \
    extern "C" __declspec(dllexport) void EXTRUN_CALL name(const wchar_t* commandLine)
#else
#define EXTRUN_ENTRY(name) __declspec(dllexport) void EXTRUN_CALL name(const wchar_t* commandLine)
#endif

#endif
