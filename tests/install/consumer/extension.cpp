// Without extern "C": exported as "_Z5PlainPKw", which the launcher never finds.
__declspec(dllexport) void Plain(const wchar_t*) {}
