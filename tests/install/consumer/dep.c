/* A DLL of the extension's own, found by the loader in the launcher's folder. */
__declspec(dllexport) int DepValue(void) { return 7; }
