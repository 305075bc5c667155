#pragma once

#include <windows.h>

// Starting the uploader. Everything a start needs is made while arming
// (PrepareUploaderStarts), so that a start itself asks the file system for
// the candidates and calls CreateProcessW, nothing else: it runs under the
// loader lock (the list of what runs there is at the top of handoff.cpp).

// Lists the candidates, makes the fixed parts of the command line from
// handOffSettings (written before) and the job every uploader is started in.
// Once, while arming.
void PrepareUploaderStarts();

// Starts the uploader for the fault at `pointers` of thread `threadId`,
// hidden: its process handle, or null when nothing was started (no
// candidate, or the start failed).
HANDLE StartUploader(EXCEPTION_POINTERS* pointers, DWORD threadId);

// Ends every uploader started from here that still runs: for one that
// nobody awaits, as when its starter was ended before it could.
void EndStartedUploaders();

// Whether `text`, inserted unquoted after --src=, reaches the uploader as
// one argument: no quote in it, and nothing up to the blank (tabs, line
// breaks).
bool IsOneUploaderArgument(const wchar_t* text);
