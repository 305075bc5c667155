#pragma once

#include <windows.h>

#include <cstddef>

#include "common/wstring.h"

// Fixed MAX_PATH buffers, as the shell path functions expect them.
using PathBuffer = wchar_t[MAX_PATH];

// Copies at most N - 1 units of `text` and always a terminating zero; a
// longer text is cut without a report. Null copies as empty.
template <size_t N>
void CopyBounded(wchar_t (&buffer)[N], const wchar_t* text) {
    size_t i = 0;
    if (text)
        for (; i + 1 < N && text[i]; ++i) buffer[i] = text[i];
    buffer[i] = 0;
}

// Fills `buffer` (zeroed first) with where an extension path points: a
// relative path is taken against the parent of the program's own folder,
// an absolute one is copied with CopyBounded.
void ResolveAgainstProgramParent(const WString& path, PathBuffer& buffer);
