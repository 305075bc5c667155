#pragma once

#include <windows.h>

#include "common/path_buffer.h"

// Starting the uploader for one report, in two steps: finding it and its
// arguments, then starting it.
struct UploaderStart {
    PathBuffer uploader;
    // Worst case: the two 259-unit texts and some 120 units of numbers and
    // names; the last unit stays zero.
    wchar_t arguments[1024];
};

// Fills a zeroed `start` for the fault at `pointers` of thread `threadId`.
// False when there is nothing to start: the last candidate is a folder.
bool PrepareUploaderStart(EXCEPTION_POINTERS* pointers, DWORD threadId, UploaderStart& start);

// Starts it hidden: its process handle, or null when it could not be started.
HANDLE StartPreparedUploader(const UploaderStart& start);

// Whether `text`, inserted unquoted after --src=, reaches the uploader as
// one argument: no quote in it, and nothing up to the blank (tabs, line
// breaks).
bool IsOneUploaderArgument(const wchar_t* text);
