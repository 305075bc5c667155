#pragma once

#include <windows.h>

#include <string>

#include "test_support.h"

// A throw-away product install: <root>\<marker program>, <root>\bin\extrun.exe,
// <root>\ext\..., and the product's data folder, which goes with the tree.
class InstallTree {
public:
    // `marker` names the product's main program, e.g. L"Tessaly.exe";
    // `dataFolder` is where that product keeps its data (roaming or local);
    // `launcher` is the built program installed as bin\extrun.exe.
    InstallTree(const wchar_t* marker, const std::wstring& dataFolder,
                const wchar_t* launcher = L"extrun.exe");
    ~InstallTree() { testsupport::RemoveTree(dataFolder_); }

    const std::wstring& Root() const { return root_.Path(); }
    std::wstring Path(const std::wstring& relative) const { return root_ / relative; }
    std::wstring Launcher() const { return root_ / L"bin\\extrun.exe"; }
    std::wstring LogPath() const { return dataFolder_ + L"\\Log\\extrun.log"; }

    // Copies a built fixture into the tree under `relative`.
    bool Add(const std::wstring& fixture, const std::wstring& relative) const;
    // Creates the log folder and the switch file beside the log.
    void EnableLog() const;
    // Runs the launcher with `arguments` from the tree's root folder; the exit code.
    DWORD Run(const std::wstring& arguments, DWORD timeoutMs = 60000) const;
    // Runs extrun-check.exe, put beside the launcher, the same way; its output goes to `output`.
    DWORD Check(const std::wstring& arguments, std::string* output) const;
    std::string ReadLog() const { return testsupport::ReadText(LogPath()); }

private:
    testsupport::TempDir root_{L"e2e"};
    std::wstring dataFolder_;
};

// The log's lines with the 33-character header (time, pid, tid) cut off.
std::vector<std::string> LogBodies(const std::string& log);
