#pragma once

#include <windows.h>

#include "common/path_buffer.h"

// A faulting thread may have no stack left, or another thread may hold a
// lock that starting a program needs (the process heap, the loader lock).
// So the hand-off's work is done on a thread of its own, made while arming
// with a stack of its own; a hook only hands its record over and waits.

// Starts that thread; once per process. False when it could not be had
// (nothing it needed is kept then): every hook does the work on its own
// thread.
bool StartHandOffThread();

// Has the uploader started for `pointers`, a fault of the calling thread,
// and waits until it has ended. A start that has not come back within a
// bound counts as failed for the hook waiting on the hand-off thread, and
// ends the process when it hangs on a faulting thread; once started, the
// uploader is awaited without limit. Faults handed over are started one
// after the other, and no hook returns while another is still at work.
void HandOverFault(EXCEPTION_POINTERS* pointers);

// Starting the uploader for one fault, in two steps: finding it and its
// arguments, which may wait for the loader lock, then starting it.
struct UploaderStart {
    PathBuffer uploader;
    // Worst case: the two 259-unit texts and some 120 units of numbers and
    // names; the last unit stays zero.
    wchar_t arguments[1024];
};

// Fills a zeroed `start` for a fault of thread `threadId`. False when there
// is nothing to start: the last candidate is a folder.
bool PrepareUploaderStart(EXCEPTION_POINTERS* pointers, DWORD threadId, UploaderStart& start);

// Starts it hidden: its process handle, or null when it could not be started.
HANDLE StartPreparedUploader(const UploaderStart& start);

// Sets how long a start may take, for the life of the object.
class ScopedStartBoundForTesting {
public:
    explicit ScopedStartBoundForTesting(DWORD milliseconds);
    ~ScopedStartBoundForTesting();
    ScopedStartBoundForTesting(const ScopedStartBoundForTesting&) = delete;
    ScopedStartBoundForTesting& operator=(const ScopedStartBoundForTesting&) = delete;

private:
    DWORD previous_;
};
