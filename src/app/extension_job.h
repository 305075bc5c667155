#pragma once

#include <windows.h>

#include "common/path_buffer.h"
#include "common/wstring.h"
#include "runner/runner.h"

// Whether the --exitcode value asks for the extension's outcome as the exit
// code: only "1" does; without it the job exits with 0, whatever happened.
bool WantsOutcomeExitCode(const WString& exitCodeOption);

// Runs one extension: resolves the DLL, reads its version, arms the crash
// hand-off, opens the product's log and calls the entry. 0, or with
// `outcomeExitCode` the RunOutcome's code.
int RunExtensionJob(const WString& entry, const WString& dumpId, const WString& dll,
                    HINSTANCE instance, bool outcomeExitCode = false);

// The log bracket around the extension loader. Always 0; `outcome`, when
// given, receives what became of the extension.
int RunWithLog(const WString& dllPath, const WString& entryName, RunOutcome* outcome = nullptr);

// What the job settles before it arms the crash hand-off; finding it out
// changes nothing.
struct ExtensionJobPlan {
    // The --dll value after the legacy module name is replaced: what the
    // loader is handed.
    WString dllPath;
    // The name crash reports are filed under.
    WString crashSource;
    // Where dllPath points, and the file version a crash report carries
    // (empty when the file has none or is not there).
    PathBuffer resolved;
    WString version;
};
void PlanExtensionJob(const WString& dll, const WString& dumpId, ExtensionJobPlan& plan);

// The product is recognised in the parent of the program's own folder.
inline constexpr int kProductLevel = 1;

// The log's path in a product data folder. An empty folder gives
// \Log\extrun.log on the current drive.
WString ExtensionLogPath(const WString& dataFolder);
