#pragma once

#include <windows.h>

#include <string>

#include "test_support.h"

// A throw-away install: <root>\bin\<probe> with product_probe.exe copied in,
// and marker programs placed at a given level above the probe's folder.
class InstallTree {
public:
    // `root` lets a test choose where the tree lives (a long path, say).
    explicit InstallTree(const std::wstring& root = L"",
                         const std::wstring& probeName = L"product_probe.exe")
        : root_(root.empty() ? temp_.Path() : root) {
        testsupport::MakeDirs(root_ + L"\\bin");
        probe_ = root_ + L"\\bin\\" + probeName;
        copied_ = testsupport::CopyTo(testsupport::BinPath(L"product_probe.exe"), probe_);
    }

    const std::wstring& Root() const { return root_; }
    const std::wstring& TempRoot() const { return temp_.Path(); }
    bool Ready() const { return copied_; }

    // Level 0 is the probe's own folder, level 1 the install root.
    bool PlaceMarker(int level, const std::wstring& name) const {
        return testsupport::WriteBytes((level == 0 ? root_ + L"\\bin" : root_) + L"\\" + name,
                                       "MZ");
    }

    // Runs the probe ("detect" or "folder") and returns what it wrote;
    // "<failed>" when it could not run.
    std::wstring Ask(const wchar_t* mode, int levelsUp) const {
        const std::wstring answer = temp_ / L"answer.txt";
        DeleteFileW(answer.c_str());
        const std::wstring commandLine = L"\"" + probe_ + L"\" " + mode + L" " +
                                         std::to_wstring(levelsUp) + L" \"" + answer + L"\"";
        const testsupport::ProcessResult run =
            testsupport::RunProcess(commandLine, temp_.Path(), 30000, probe_);
        std::string bytes;
        if (!run.started || run.exitCode != 0 || !testsupport::ReadBytes(answer, &bytes))
            return L"<failed>";
        return testsupport::FromUtf8(bytes);
    }

    int DetectedId(int levelsUp) const {
        const std::wstring answer = Ask(L"detect", levelsUp);
        return answer == L"<failed>" ? -1 : _wtoi(answer.c_str());
    }

private:
    testsupport::TempDir temp_{L"product"};
    std::wstring root_;
    std::wstring probe_;
    bool copied_ = false;
};
