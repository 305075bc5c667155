// Writes the command line it was called with to received.txt in the current folder, as a whole.
#include <extrun/extension.h>

#include <cstdio>
#include <cwchar>

EXTRUN_ENTRY(Run) {  // exported as "Run": extern "C", the x64 calling convention
    FILE* file = _wfopen(L"received.part", L"wb");
    if (!file) return;
    fwrite(commandLine, sizeof(wchar_t), wcslen(commandLine), file);
    fclose(file);
    _wrename(L"received.part", L"received.txt");
}
