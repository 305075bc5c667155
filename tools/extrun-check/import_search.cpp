#include "import_search.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <utility>

#include "common/handles.h"
#include "common/path_buffer.h"
#include "file_bytes.h"

namespace {

constexpr size_t kImportsListed = 64;

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

// The DLLs a found DLL imports in turn; none where it cannot be read.
std::vector<std::string> ImportsOf(const std::wstring& path) {
    const UniqueFileHandle file(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    const FileBytes bytes(file.get());
    return image::ImportedDlls(bytes, image::ReadImageFacts(bytes));
}

}  // namespace

std::vector<FoundImport> FindImports(const std::wstring& extension,
                                     const std::vector<std::string>& imports,
                                     const std::wstring& launcherFolder) {
    PathBuffer beside = {};
    CopyBounded(beside, extension.c_str());
    PathRemoveFileSpecW(beside);
    const std::wstring system = SystemFolder();
    const std::vector<std::pair<std::wstring, ImportPlace>> folders = [&] {
        std::vector<std::pair<std::wstring, ImportPlace>> list = {
            {launcherFolder, ImportPlace::kLauncherFolder},
            {WindowsFolder(), ImportPlace::kWindowsFolder},
            {CurrentFolder(), ImportPlace::kCurrentFolder}};
        for (const std::wstring& folder : PathFolders())
            list.push_back({folder, ImportPlace::kPath});
        return list;
    }();

    struct Pending {
        std::wstring name, importer;
    };
    std::vector<Pending> pending;
    const auto queue = [&pending](const std::vector<std::string>& names, const std::wstring& by) {
        for (const std::string& name : names) pending.push_back({Widen(name), by});
    };
    queue(imports, PathFindFileNameW(extension.c_str()));

    std::vector<FoundImport> found;
    std::vector<std::wstring> seen;
    for (size_t next = 0; next < pending.size() && found.size() < kImportsListed; ++next) {
        const Pending import = pending[next];
        bool known = IsApiSetName(import.name);
        for (const std::wstring& name : seen)
            known = known || _wcsicmp(name.c_str(), import.name.c_str()) == 0;
        if (known) continue;
        seen.push_back(import.name);
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
    return found;
}
