#include "crash_host_run.h"

#include <algorithm>
#include <cstdlib>

using testsupport::BinPath;

namespace crashtest {
namespace {

Fields ParseFields(const std::string& text) {
    Fields fields;
    for (const std::string& line : testsupport::SplitLines(text)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
}

unsigned long long ParseNumber(const std::string& text) {
    if (text.empty()) return 0;
    return std::strtoull(text.c_str(), nullptr, text.rfind("0x", 0) == 0 ? 16 : 10);
}

std::vector<std::wstring> FilesMatching(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return files;
    do files.push_back(folder + L"\\" + found.cFileName);
    while (FindNextFileW(find, &found));
    FindClose(find);
    return files;
}

}  // namespace

std::string UploaderRun::Get(const std::string& key) const {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

unsigned long long UploaderRun::Number(const std::string& key) const {
    return ParseNumber(Get(key));
}

unsigned long long HostRun::Note(const std::string& key) const {
    const auto it = notes.find(key);
    return it == notes.end() ? 0 : ParseNumber(it->second);
}

std::string HostRun::HookAt(unsigned long long address) const {
    // Every hook is a few dozen bytes long.
    constexpr unsigned long long kLongestHook = 512;
    std::string best;
    unsigned long long bestStart = 0;
    for (const auto& [key, value] : notes) {
        if (key.rfind("hook.", 0) != 0) continue;
        const unsigned long long start = ParseNumber(value);
        if (start <= address && address - start < kLongestHook && start > bestStart) {
            bestStart = start;
            best = key.substr(5);
        }
    }
    return best;
}

CrashTree::CrashTree() : root_(L"crash") {
    testsupport::MakeDirs(root_ / L"app\\bin\\Utils");
    testsupport::MakeDirs(root_ / L"app\\Utils");
    testsupport::CopyTo(BinPath(L"crash_host.exe"), root_ / L"app\\bin\\crash_host.exe");
}

std::wstring CrashTree::Folder(UploaderPlace place) const {
    switch (place) {
        case UploaderPlace::BesideProgram:
            return root_ / L"app\\bin";
        case UploaderPlace::ProgramUtils:
            return root_ / L"app\\bin\\Utils";
        case UploaderPlace::Parent:
            return root_ / L"app";
        case UploaderPlace::ParentUtils:
            return root_ / L"app\\Utils";
        case UploaderPlace::Grandparent:
            break;
    }
    return root_.Path();
}

void CrashTree::PlaceUploader(UploaderPlace place) {
    testsupport::CopyTo(BinPath(L"FaultSend.exe"), Folder(place) + L"\\FaultSend.exe");
}

HostRun CrashTree::Run(const std::wstring& arguments) const {
    HostRun run;
    const std::wstring program = Folder(UploaderPlace::BesideProgram) + L"\\crash_host.exe";
    run.process = testsupport::RunProcess(L"\"" + program + L"\" " + arguments,
                                          Folder(UploaderPlace::BesideProgram), 60000);
    std::string text;
    if (testsupport::ReadBytes(Folder(UploaderPlace::BesideProgram) + L"\\crash_host.txt", &text))
        run.notes = ParseFields(text);
    for (UploaderPlace place : kAllPlaces)
        for (const std::wstring& file : FilesMatching(Folder(place), L"faultsend-*.txt"))
            if (testsupport::ReadBytes(file, &text))
                run.uploads.push_back({place, ParseFields(text)});
    std::sort(run.uploads.begin(), run.uploads.end(),
              [](const UploaderRun& a, const UploaderRun& b) {
                  return a.Number("started_qpc") < b.Number("started_qpc");
              });
    return run;
}

HostRun RunCase(const std::wstring& arguments) {
    CrashTree tree;
    tree.PlaceUploader(UploaderPlace::BesideProgram);
    return tree.Run(arguments);
}

bool IsWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace crashtest
