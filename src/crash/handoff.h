#pragma once

#include <windows.h>

// Between a faulting thread's hook and the uploader's start: who starts each
// report, and how long anyone waits. The rules are at the top of handoff.cpp.

// A synthetic fault record: the record, the context and the pair that
// points at both.
struct SyntheticRecord {
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
};

// Starts the watcher, which keeps every report's deadline, and the hand-off
// thread, which starts reports; once per process. False when the hand-off
// thread could not be had (nothing it needed is kept then): every hook then
// starts its report on its own thread.
bool StartHandOffThreads();

// Where the calling thread's hook writes its synthetic record: room set
// aside in the image, in the report the thread now holds. Null inside the
// thread's own hook (the record there must stay as it is) and when every
// report is taken.
SyntheticRecord* SyntheticRecordRoom();

// Has the uploader started for `pointers`, a fault of the calling thread,
// and returns once no report is pending. A top-level exception filter;
// always EXCEPTION_EXECUTE_HANDLER.
LONG WINAPI LaunchUploader(EXCEPTION_POINTERS* pointers);

// Sets how long a report may wait to start, for the life of the object.
class ScopedStartBoundForTesting {
public:
    explicit ScopedStartBoundForTesting(DWORD milliseconds);
    ~ScopedStartBoundForTesting();
    ScopedStartBoundForTesting(const ScopedStartBoundForTesting&) = delete;
    ScopedStartBoundForTesting& operator=(const ScopedStartBoundForTesting&) = delete;

private:
    DWORD previous_;
};
