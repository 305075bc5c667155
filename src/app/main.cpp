#include <windows.h>

#include <cstdlib>

#include "app/command_line_options.h"
#include "app/extension_job.h"
#include "app/process_setup.h"
#include "app/relaunch.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    PrepareProcess();

    int exitCode = 0;
    {
        CommandLineOptions options;
        options.Load(GetCommandLineW());
        WString entry, dumpId, dll, param, sync, exitCodeOption;
        options.GetValue(kOptionEntry, entry);
        options.GetValue(kOptionDumpId, dumpId);
        options.GetValue(kOptionDll, dll);
        options.GetValue(kOptionParam, param);
        options.GetValue(kOptionSync, sync);
        options.GetValue(kOptionExitCode, exitCodeOption);

        exitCode = !param.IsEmpty() ? RelaunchFromPackage(param, sync)
                                    : RunExtensionJob(entry, dumpId, dll, instance,
                                                      WantsOutcomeExitCode(exitCodeOption));
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
