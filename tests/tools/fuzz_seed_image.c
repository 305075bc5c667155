/* A DLL of a few kilobytes with what the image reader looks up: exports,
   one of them "Run", and an import of kernel32. Built for both machines
   without the run-time, as a seed that costs the fuzzer little per input. */
#include <windows.h>

__declspec(dllexport) int Run(const wchar_t* line) { return (int)GetTickCount() + (line != 0); }
__declspec(dllexport) int Report(void) { return 0; }
BOOL WINAPI Entry(HINSTANCE module, DWORD reason, void* reserved) {
    (void)module, (void)reason, (void)reserved;
    return TRUE;
}
