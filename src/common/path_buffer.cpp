#include "common/path_buffer.h"

#include <shlwapi.h>

#include <cstring>

void ResolveAgainstProgramParent(const WString& path, PathBuffer& buffer) {
    std::memset(buffer, 0, sizeof(buffer));
    if (PathIsRelativeW(path.c_str())) {
        // bin\prog.exe -> bin -> its parent; then the relative path below it.
        GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        PathRemoveFileSpecW(buffer);
        PathRemoveFileSpecW(buffer);
        PathAppendW(buffer, path.c_str());
    } else {
        CopyBounded(buffer, path.c_str());
    }
}
