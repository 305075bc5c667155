#include "install_tree.h"

using namespace testsupport;

InstallTree::InstallTree(const wchar_t* marker, const std::wstring& dataFolder,
                         const wchar_t* launcher)
    : dataFolder_(dataFolder) {
    MakeDirs(root_ / L"bin");
    MakeDirs(root_ / L"ext");
    WriteBytes(root_ / marker, "marker");
    CopyTo(BinPath(launcher), Launcher());
    RemoveTree(dataFolder_);
}

bool InstallTree::Add(const std::wstring& fixture, const std::wstring& relative) const {
    return CopyTo(BinPath(fixture), root_ / relative);
}

void InstallTree::EnableLog() const {
    MakeDirs(dataFolder_ + L"\\Log");
    WriteBytes(LogPath() + L".on", "");
}

DWORD InstallTree::Run(const std::wstring& arguments, DWORD timeoutMs) const {
    return RunProcess(L"\"" + Launcher() + L"\" " + arguments, Root(), timeoutMs, Launcher())
        .Code();
}

DWORD InstallTree::Check(const std::wstring& arguments, std::string* output) const {
    const std::wstring checker = root_ / L"bin\\extrun-check.exe";
    if (!Exists(checker)) CopyTo(BinPath(L"extrun-check.exe"), checker);
    return RunProcess(L"\"" + checker + L"\" " + arguments, Root(), 60000, checker, output).Code();
}

std::vector<std::string> LogBodies(const std::string& log) {
    std::vector<std::string> bodies;
    for (const std::string& line : SplitLines(log))
        bodies.push_back(line.size() >= 33 ? line.substr(33) : line);
    return bodies;
}
