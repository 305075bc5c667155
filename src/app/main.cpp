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

// The run-time's default terminate handler writes the uncaught exception's
// demangled type name to stderr, which this windowless program has not got,
// and brings the whole demangler (about 47 KB) with it. The crash hand-off
// installs its own handler once armed; before that, ending the way the
// default ends after its message, by abort, is all there is to do.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
