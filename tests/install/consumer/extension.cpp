// Writes the command line it was called with to received.txt in the current folder, as a whole.
#include <extrun/extension.h>

#include <cstdio>

EXTRUN_ENTRY(Run) {
    FILE* file = _wfopen(L"received.part", L"wb");
    fwrite(commandLine, sizeof(wchar_t), wcslen(commandLine), file);
    fclose(file);
    _wrename(L"received.part", L"received.txt");
}

// Without extern "C": exported as "_Z5PlainPKw", which the launcher never finds.
__declspec(dllexport) void Plain(const wchar_t*) {}
