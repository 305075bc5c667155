// The product's program, started in its own folder: has the launcher relaunch itself hidden with
// a packed command line, which it prints, and waits up to 30 s for the extension's received.txt.
#include <windows.h>

#include <extrun/package.h>

#include <cstdio>
#include <process.h>

int main() {
    wchar_t launcher[MAX_PATH] = L"";
    GetFullPathNameW(L"bin\\extrun.exe", MAX_PATH, launcher, nullptr);
    const std::wstring commandLine =
        L"\"" + std::wstring(launcher) +
        L"\" --dll=ext\\hello.dll --entry=Run --greeting=\"from Wistmere\"";
    std::wstring reason;
    const std::string package =
        extrun::MakePackage({extrun::CommandLineRecord(commandLine)}, &reason);
    if (package.empty()) {
        fprintf(stderr, "no package: %ls\n", reason.c_str());
        return 1;
    }
    printf("%ls", commandLine.c_str());
    const std::wstring param = L"--param=" + std::wstring(package.begin(), package.end());
    const intptr_t code = _wspawnl(_P_WAIT, launcher, launcher, param.c_str(), nullptr);
    for (int i = 0; i < 300 && GetFileAttributesW(L"received.txt") == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    return static_cast<int>(code);
}
