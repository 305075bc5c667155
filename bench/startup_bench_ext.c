/* The extension the start-up benchmark runs: both exports return at once.
   Run is the launcher's entry; RunDll has the shape rundll32 calls. */
#include <windows.h>

__declspec(dllexport) void Run(const wchar_t* commandLine) { (void)commandLine; }

__declspec(dllexport) void CALLBACK RunDll(HWND window, HINSTANCE instance, LPSTR args, int show) {
    (void)window;
    (void)instance;
    (void)args;
    (void)show;
}
