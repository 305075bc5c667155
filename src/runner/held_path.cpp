#include "runner/held_path.h"

#include <shlwapi.h>

#include <cstddef>
#include <cstring>

namespace {

// Names that the file system takes literally (no dots or blanks dropped, no
// "." or ".." resolved) and the loader does not read the same way.
bool HasDevicePrefix(const wchar_t* name) {
    return std::wcsncmp(name, L"\\\\?\\", 4) == 0 || std::wcsncmp(name, L"\\\\.\\", 4) == 0 ||
           std::wcsncmp(name, L"\\??\\", 4) == 0;
}

}  // namespace

size_t StripFinalPath(const wchar_t* final, PathBuffer& path) {
    constexpr size_t kPrefixUnits = 4, kUncUnits = 3;
    if (!HasDevicePrefix(final)) return 0;
    final += kPrefixUnits;
    size_t used = 0, separators = 0;
    if (std::wcsncmp(final, L"UNC\\", kUncUnits + 1) == 0) {
        // "UNC" gives way to one '\', which with the next makes two.
        path[used++] = L'\\';
        final += kUncUnits;
        separators = 4;  // \\server\share\ .
    } else if (final[0] && final[1] == L':' && final[2] == L'\\') {
        separators = 1;  // C:\ .
    } else {
        return 0;
    }
    for (; *final; ++final) {
        if (used + 1 >= MAX_PATH) return 0;
        path[used++] = *final;
    }
    path[used] = 0;
    size_t root = 0;
    for (size_t seen = 0; root < used && seen < separators; ++root)
        if (path[root] == L'\\') ++seen;
    return root;
}

namespace {

// Room for a final path in its "\\?\UNC\" form that still fits a path buffer
// once that prefix is gone.
constexpr DWORD kFinalPathUnits = MAX_PATH + 8;

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// A folder that is a real directory, not a junction or link, held so that
// nobody can rename or delete it (both need delete access to it) while the
// handle lives. Traversal, which whoever may pass through the folder has
// even where listing it is denied, takes part in sharing as listing does;
// handles with attribute access alone would not keep anyone out.
UniqueFileHandle HoldFolder(const wchar_t* folder) {
    UniqueFileHandle held(CreateFileW(
        folder, FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!held || !GetFileInformationByHandle(held.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return UniqueFileHandle();
    return held;
}

}  // namespace

bool HeldPath::Hold(HANDLE file) {
    wchar_t final[kFinalPathUnits] = {};
    const DWORD units = GetFinalPathNameByHandleW(file, final, kFinalPathUnits,
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (units == 0 || units >= kFinalPathUnits) return false;
    const size_t root = StripFinalPath(final, path_);
    if (root == 0) return false;

    // Each folder from the root down, held before the next is opened through it.
    size_t held = 0;
    for (size_t i = root; path_[i]; ++i) {
        if (path_[i] != L'\\') continue;
        path_[i] = 0;
        folders_[held] = HoldFolder(path_);
        path_[i] = L'\\';
        if (!folders_[held++]) return false;
    }
    return true;
}

LoadNameRefusal LoadNameFor(const wchar_t* path, HANDLE file, PathBuffer& name,
                            LoadedModuleLookup loaded) {
    PathBuffer plain = {};
    if (HasDevicePrefix(path)) {
        if (StripFinalPath(path, plain) == 0) return LoadNameRefusal::kForm;
        path = plain;
    }
    // As the loader completes a name: against the current folder, with "."
    // and ".." resolved and the dots and blanks that end a name dropped. A
    // file that only a literal name reaches ("x.dll " beside "x.dll") is
    // then not reached.
    const DWORD units = GetFullPathNameW(path, MAX_PATH, name, nullptr);
    if (units == 0 || units >= MAX_PATH) return LoadNameRefusal::kForm;
    // Every stream of a file is the same file to the checks below.
    if (std::wcschr(name + 2, L':')) return LoadNameRefusal::kStream;
    // The loader adds ".dll" to a final name without an extension, and
    // nothing to one that ends in ".".
    const wchar_t* base = PathFindFileNameW(name);
    if (!std::wcschr(base, L'.')) {
        if (units + 1 >= MAX_PATH) return LoadNameRefusal::kForm;
        name[units] = L'.';
        name[units + 1] = 0;
    }
    const UniqueFileHandle reached(CreateFileW(
        name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, 0, nullptr));
    if (!reached || !SameFile(reached.get(), file)) return LoadNameRefusal::kOtherFile;
    // A loader hands out a module already in the process under the same
    // name rather than load the file (Wine's does even for a full path).
    const HMODULE sameName = loaded(base);
    if (sameName && !IsModuleOf(sameName, file)) return LoadNameRefusal::kModuleLoaded;
    return LoadNameRefusal::kNone;
}

bool IsModuleOf(HMODULE module, HANDLE file) {
    // The loader maps a file's headers as they are, but for the image base
    // it chose; a module whose headers differ came from another image (Wine
    // maps its own DLL for a file named like one, under that file's path).
    const auto* image = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const size_t imageBase = dos->e_lfanew + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                             offsetof(IMAGE_OPTIONAL_HEADER, ImageBase);
    BYTE headers[4096];
    const DWORD size = nt->OptionalHeader.SizeOfHeaders < sizeof(headers)
                           ? nt->OptionalHeader.SizeOfHeaders
                           : sizeof(headers);
    OVERLAPPED start = {};
    DWORD got = 0;
    return size > imageBase + sizeof(ULONGLONG) && ReadFile(file, headers, size, &got, &start) &&
           got == size && std::memcmp(headers, image, imageBase) == 0 &&
           std::memcmp(headers + imageBase + sizeof(ULONGLONG),
                       image + imageBase + sizeof(ULONGLONG),
                       size - imageBase - sizeof(ULONGLONG)) == 0;
}
