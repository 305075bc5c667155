#include "import_search.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <set>
#include <utility>

#include "common/handles.h"
#include "common/escaped_text.h"
#include "common/path_buffer.h"
#include "file_bytes.h"

namespace {

// Names are looked for once each; a hostile table of more distinct names than real programs
// import is not searched to its end.
constexpr size_t kNamesSearched = 1024;
// Forwarders followed from one entry before the check gives up saying where they end.
constexpr int kForwardersFollowed = 16;

std::wstring Widen(const std::string& name) {
    std::wstring wide(name.size(), L'\0');
    const int units = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()),
                                          wide.data(), static_cast<int>(wide.size()));
    wide.resize(units > 0 ? static_cast<size_t>(units) : 0);
    return wide;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring SystemFolder() {
    PathBuffer folder = {};
    const UINT units = GetSystemDirectoryW(folder, MAX_PATH);
    return units > 0 && units < MAX_PATH ? folder : L"";
}

std::wstring WindowsFolder() {
    PathBuffer folder = {};
    const UINT units = GetWindowsDirectoryW(folder, MAX_PATH);
    return units > 0 && units < MAX_PATH ? folder : L"";
}

std::wstring CurrentFolder() {
    PathBuffer folder = {};
    const DWORD units = GetCurrentDirectoryW(MAX_PATH, folder);
    return units > 0 && units < MAX_PATH ? folder : L"";
}

// The folders of PATH, in order, empty ones left out.
std::vector<std::wstring> PathFolders() {
    std::vector<std::wstring> folders;
    const DWORD units = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (units == 0) return folders;
    std::wstring path(units, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", path.data(), units));
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(L';', start), path.size());
        if (end > start) folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

bool IsApiSetName(const std::wstring& name) {
    return _wcsnicmp(name.c_str(), L"api-ms-", 7) == 0 ||
           _wcsnicmp(name.c_str(), L"ext-ms-", 7) == 0;
}

UniqueFileHandle OpenToRead(const std::wstring& path) {
    return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The DLLs a found DLL imports in turn; none where it cannot be read.
std::vector<std::string> ImportsOf(const std::wstring& path) {
    const UniqueFileHandle file(OpenToRead(path));
    if (!file) return {};
    const FileBytes bytes(file.get());
    return image::ImportedDlls(bytes, image::ReadImageFacts(bytes)).dlls;
}

// A name as the loader compares names, letter case aside.
std::wstring Folded(const std::wstring& name) {
    std::wstring folded = name;
    for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(c));
    return folded;
}

// The folders the loader looks in after the system folder, in its order.
std::vector<std::pair<std::wstring, ImportPlace>> SearchFolders(
    const std::wstring& launcherFolder) {
    std::vector<std::pair<std::wstring, ImportPlace>> list = {
        {launcherFolder, ImportPlace::kLauncherFolder},
        {WindowsFolder(), ImportPlace::kWindowsFolder},
        {CurrentFolder(), ImportPlace::kCurrentFolder}};
    for (const std::wstring& folder : PathFolders()) list.push_back({folder, ImportPlace::kPath});
    return list;
}

}  // namespace

ImportSearch FindImports(const std::wstring& extension, const std::vector<std::string>& imports,
                         const std::wstring& launcherFolder) {
    PathBuffer beside = {};
    CopyBounded(beside, extension.c_str());
    PathRemoveFileSpecW(beside);
    const std::wstring system = SystemFolder();
    const std::vector<std::pair<std::wstring, ImportPlace>> folders = SearchFolders(launcherFolder);

    struct Pending {
        std::wstring name, importer;
    };
    std::vector<Pending> pending;
    const auto queue = [&pending](const std::vector<std::string>& names, const std::wstring& by) {
        for (const std::string& name : names) pending.push_back({Widen(name), by});
    };
    queue(imports, PathFindFileNameW(extension.c_str()));

    ImportSearch search;
    std::vector<FoundImport>& found = search.found;
    std::set<std::wstring> seen;
    for (size_t next = 0; next < pending.size(); ++next) {
        const Pending import = pending[next];
        if (IsApiSetName(import.name) || !seen.insert(Folded(import.name)).second) continue;
        if (seen.size() > kNamesSearched) {
            search.unfinished = true;
            break;
        }
        if (!import.name.empty() && !system.empty() && IsFile(system + L"\\" + import.name))
            continue;

        FoundImport result{import.name, import.importer, ImportPlace::kMissing, L""};
        for (const auto& [folder, place] : folders) {
            if (import.name.empty() || folder.empty() || !IsFile(folder + L"\\" + import.name))
                continue;
            result.place = place;
            result.path = folder + L"\\" + import.name;
            break;
        }
        if (result.place == ImportPlace::kMissing) {
            const std::wstring there = std::wstring(beside) + L"\\" + import.name;
            if (!import.name.empty() && IsFile(there)) result.path = there;
        } else {
            queue(ImportsOf(result.path), import.name);
        }
        found.push_back(result);
    }
    return search;
}

namespace {

ForwardTrail Ended(ForwardTrail trail, ForwardEnd end, const std::wstring& why) {
    trail.end = end;
    trail.steps += why;
    return trail;
}

}  // namespace

ForwardTrail FollowForwarder(const std::wstring& extension, const std::string& entry,
                             const std::string& text, bool whole,
                             const std::wstring& launcherFolder) {
    ForwardTrail trail;
    const std::wstring system = SystemFolder();
    std::set<std::pair<std::wstring, std::string>> followed = {{Folded(extension), entry}};
    std::string forwarder = text;
    for (int hop = 0;; ++hop) {
        trail.steps += L" -> " + EscapeControls(Widen(forwarder));
        if (!whole) return Ended(trail, ForwardEnd::kUnknown, L" (longer than the check reads)");
        if (hop == kForwardersFollowed)
            return Ended(trail, ForwardEnd::kUnknown, L" (more forwarders than the check follows)");
        const size_t dot = forwarder.rfind('.');
        if (dot == std::string::npos)
            return Ended(trail, ForwardEnd::kNotFound, L": it names no DLL");
        std::wstring module = Widen(forwarder.substr(0, dot));
        if (module.find(L'.') == std::wstring::npos) module += L".dll";
        const std::string function = forwarder.substr(dot + 1);
        // The extension is loaded under its file name, and the loader takes a loaded module
        // of that name before it searches.
        std::wstring path;
        if (_wcsicmp(module.c_str(), PathFindFileNameW(extension.c_str())) == 0) {
            path = extension;
        } else if (!system.empty() && IsFile(system + L"\\" + module)) {
            path = system + L"\\" + module;
        } else {
            for (const auto& [folder, place] : SearchFolders(launcherFolder))
                if (path.empty() && !folder.empty() && IsFile(folder + L"\\" + module))
                    path = folder + L"\\" + module;
        }
        if (path.empty() || module.size() >= MAX_PATH)
            return Ended(trail, ForwardEnd::kNotFound,
                         L": " + EscapeControls(module) + L" is missing, so GetProcAddress fails");
        const UniqueFileHandle file(OpenToRead(path));
        const FileBytes bytes(file.get());
        const image::ImageFacts facts =
            file ? image::ReadImageFacts(bytes) : image::ImageFacts{"cannot be read"};
        if (!image::LoadableIn64BitProcess(facts))
            return Ended(trail, ForwardEnd::kNotFound,
                         L": " + path + L" cannot be loaded, so GetProcAddress fails");
        if (path != extension) {
            const image::ImportTable imports = image::ImportedDlls(bytes, facts);
            const ImportSearch search = FindImports(path, imports.dlls, launcherFolder);
            bool all = !imports.outside && !imports.unread && !search.unfinished;
            for (const FoundImport& import : search.found)
                all = all && import.place != ImportPlace::kMissing;
            if (!all)
                return Ended(trail, ForwardEnd::kNotFound,
                             L": " + path +
                                 L" imports a DLL that is missing or unreadable, so it does not "
                                 L"load and GetProcAddress fails");
        }
        if (!followed.insert({Folded(path), function}).second)
            return Ended(trail, ForwardEnd::kLoop,
                         L": back at an export already followed, which the loader follows again "
                         L"until the stack overflows");
        const image::ExportLookup lookup =
            !function.empty() && function[0] == '#'
                ? image::FindExportByOrdinal(
                      bytes, facts,
                      static_cast<uint32_t>(std::strtoul(function.c_str() + 1, nullptr, 10)))
                : image::FindExport(bytes, facts, function);
        if (lookup.result == image::ExportResult::kFound)
            return Ended(trail, ForwardEnd::kFound, L" (in " + path + L")");
        if (lookup.result != image::ExportResult::kForwarded)
            return Ended(trail, ForwardEnd::kNotFound,
                         L": " + path + L" exports no such function, so GetProcAddress fails");
        forwarder = lookup.forwardedTo;
        whole = lookup.forwarderWhole;
    }
}
