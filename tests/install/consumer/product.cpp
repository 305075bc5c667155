// The product's program, started in its own folder: has the launcher relaunch itself with a packed
// command line, which it prints, and waits up to 30 s for the extension's received.txt.
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
    const extrun::PackageRecord record = extrun::CommandLineRecord(commandLine);
    const std::string package = extrun::MakePackage({record});
    std::vector<extrun::PackageRecord> read;
    if (extrun::ReadPackage("abc", &read) || !extrun::ReadPackage(package, &read) ||
        read.size() != 1 || read[0].name != record.name || read[0].data != record.data)
        return 10;
    for (const std::string& name : {std::string(), std::string(51, 'n'), std::string("a\0b", 3)})
        if (!extrun::MakePackage({{name, "x"}}).empty() || !extrun::MakePackage({}).empty())
            return 11;
    // One unit more than the launcher takes.
    if (!extrun::MakePackage({extrun::CommandLineRecord(std::wstring(4096, L'x'))}).empty())
        return 12;
    printf("%ls", commandLine.c_str());
    const std::wstring param = L"--param=" + std::wstring(package.begin(), package.end());
    const intptr_t code = _wspawnl(_P_WAIT, launcher, launcher, param.c_str(), nullptr);
    for (int i = 0; i < 300 && GetFileAttributesW(L"received.txt") == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    return static_cast<int>(code);
}
