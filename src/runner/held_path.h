#pragma once

#include <windows.h>

#include "common/handles.h"
#include "common/path_buffer.h"

// A name without its "\\?\", "\\.\" or "\??\" prefix, which the loader does
// not read as the file system does: "\\?\C:\a" becomes "C:\a",
// "\\?\UNC\server\share\a" becomes "\\server\share\a". The length of the
// root ("C:\", "\\server\share\"), which no one can rename; 0 when the name
// does not fit, has no such prefix or names no drive or share.
size_t StripFinalPath(const wchar_t* final, PathBuffer& path);

// A path that leads to an open file for as long as this lives, whatever
// anyone does to the folders above it: the file's final path (no junction
// or link left in it), with every folder on it below the volume's root held
// against renaming and deletion. The file itself must be held against
// renaming and deletion by its opener, and the caller proves that the path
// still opens it (LoadNameFor does).
class HeldPath {
public:
    // False when the final path cannot be had, is longer than 259 units,
    // has no drive letter or share, or when a folder on it cannot be held or
    // is a junction or link.
    bool Hold(HANDLE file);
    const wchar_t* Path() const { return path_; }

private:
    PathBuffer path_ = {};
    // Every folder takes at least a unit of its name and a separator.
    UniqueFileHandle folders_[MAX_PATH / 2];
};

// Why no name leads the loader to the held file.
enum class LoadNameRefusal {
    kNone,
    kFolders,       // a pinned build could not hold the folders (HeldPath::Hold)
    kForm,          // a device or volume name, or one too long once completed
    kStream,        // an alternate data stream, which shares its file's identity
    kOtherFile,     // the name, read as the loader reads it, opens another file or none
    kModuleLoaded,  // a module of that name is in the process, and the loader hands it out
};

// The module of a file name that is loaded in the process the extension
// goes into, or null: GetModuleHandleW in the launcher. extrun-check asks
// on the launcher's behalf, as its own process has another main program.
using LoadedModuleLookup = HMODULE(WINAPI*)(const wchar_t* name);

// The name LoadLibraryW is given for `path`, by which `file` was opened: a
// full path in plain form whose final name has an extension (a final "."
// where the file's has none, so that the loader adds no ".dll"), which,
// opened as the loader opens it, is `file` itself, and under which no other
// module is loaded (as `loaded` finds modules).
LoadNameRefusal LoadNameFor(const wchar_t* path, HANDLE file, PathBuffer& name,
                            LoadedModuleLookup loaded = GetModuleHandleW);

// Whether `module` was mapped from `file`: its headers are the file's.
bool IsModuleOf(HMODULE module, HANDLE file);
