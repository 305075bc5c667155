#pragma once

#include <windows.h>

#include "common/handles.h"
#include "common/path_buffer.h"

// The final path without its "\\?\" prefix, which LoadLibraryW does not
// take everywhere: "\\?\C:\a" becomes "C:\a", "\\?\UNC\server\share\a"
// becomes "\\server\share\a". The length of the root ("C:\",
// "\\server\share\"), which no one can rename; 0 when the path does not fit
// or has another form.
size_t StripFinalPath(const wchar_t* final, PathBuffer& path);

// A path that leads to an open file for as long as this lives, whatever
// anyone does to the folders above it: the file's final path (no junction
// or link left in it), with every folder on it below the volume's root held
// against renaming and deletion, and checked to reach that very file. The
// file itself must be held against renaming and deletion by its opener.
class HeldPath {
public:
    // False when the final path cannot be had, is longer than 259 units,
    // passes through a junction or link, when a folder on it cannot be held,
    // or when it does not lead to `file`.
    bool Hold(HANDLE file);
    const wchar_t* Path() const { return path_; }

private:
    PathBuffer path_ = {};
    // Every folder takes at least a unit of its name and a separator.
    UniqueFileHandle folders_[MAX_PATH / 2];
};
