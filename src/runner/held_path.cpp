#include "runner/held_path.h"

#include <cstring>

size_t StripFinalPath(const wchar_t* final, PathBuffer& path) {
    constexpr wchar_t kUnc[] = L"\\\\?\\UNC\\";
    constexpr wchar_t kLocal[] = L"\\\\?\\";
    constexpr size_t kUncUnits = 8, kLocalUnits = 4;
    size_t used = 0, separators = 0;
    if (std::wcsncmp(final, kUnc, kUncUnits) == 0) {
        // "\\?\UNC" gives way to one '\', which with the next makes two.
        path[used++] = L'\\';
        final += kUncUnits - 1;
        separators = 4;  // \\server\share\ .
    } else if (std::wcsncmp(final, kLocal, kLocalUnits) == 0 && final[kLocalUnits] &&
               final[kLocalUnits + 1] == L':' && final[kLocalUnits + 2] == L'\\') {
        final += kLocalUnits;
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
// handle lives. Reading its listing is what takes part in sharing; handles
// with attribute access alone would not keep anyone out.
UniqueFileHandle HoldFolder(const wchar_t* folder) {
    UniqueFileHandle held(CreateFileW(
        folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
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

    // The folders were found by name, and a name can have been given to
    // another folder after the final path was read: only if the path now
    // opens the file itself are they its folders.
    const UniqueFileHandle reached(CreateFileW(
        path_, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return reached && SameFile(reached.get(), file);
}
