#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>

#include "app/command_line_options.h"
#include "app/extension_job.h"
#include "app/relaunch.h"
#include "common/msvcrt_runtime.h"
#include "common/system_library.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    CoInitialize(nullptr);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    syslib::InitCommonControlsEx(&controls);
    // The user is told nothing: no abort message, no fault dialog, and heap
    // corruption ends the process instead of running on.
    runtime::SetAbortBehavior(0, _WRITE_ABORT_MSG);
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);

    int exitCode = 0;
    {
        CommandLineOptions options;
        options.Load(GetCommandLineW());
        WString entry, dumpId, dll, param, sync;
        options.GetValue(kOptionEntry, entry);
        options.GetValue(kOptionDumpId, dumpId);
        options.GetValue(kOptionDll, dll);
        options.GetValue(kOptionParam, param);
        options.GetValue(kOptionSync, sync);

        exitCode = !param.IsEmpty() ? RelaunchFromPackage(param, sync)
                                    : RunExtensionJob(entry, dumpId, dll, instance);
    }
    return exitCode;
}
