#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"
#include "upload_request.h"

// The failing process as the request names it, opened with the rights a dump
// needs and no more. Nothing here waits on it: it waits for the uploader.
struct DumpTarget {
    UniqueHandle process;
    std::wstring program;  // its image's full path
    // What tells this fault from every other while the process lives, and
    // from a later process given the same id: "<pid>-<start time>-<tid>-
    // <code>-<address>", the start time as a FILETIME, the rest in hex.
    std::wstring fault;
};

// Opens the process and checks that the request fits it: it is still
// running, the thread is one of its own, and the address holds an
// EXCEPTION_POINTERS whose record and context can be read. `why` says what
// did not fit.
bool OpenDumpTarget(const UploadRequest& request, DumpTarget& target, std::wstring& why);

// Writes the dump into `file` with MiniDumpWriteDump from the system
// folder's dbghelp, the fault taken from the process's own memory.
bool WriteMinidump(const DumpTarget& target, const UploadRequest& request, HANDLE file,
                   std::wstring& why);
