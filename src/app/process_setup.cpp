#include "app/process_setup.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>

#include "common/msvcrt_runtime.h"
#include "common/system_library.h"

void PrepareProcess() {
    // Results not looked at: the extension finds the process as far as it
    // could be set up, and the launcher needs none of it itself.
    CoInitialize(nullptr);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    syslib::InitCommonControlsEx(&controls);
    runtime::SetAbortBehavior(0, _WRITE_ABORT_MSG);
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
}
