#include "app/extension_job.h"

#include <objbase.h>
#include <shlwapi.h>

#include "app/app_module.h"
#include "common/path_buffer.h"
#include "crash/crash_handoff.h"
#include "crash/uploader_start.h"
#include "crash/file_version.h"
#include "log/logger.h"
#include "product/product_folders.h"
#include "runner/runner.h"

namespace {

constexpr wchar_t kLegacyModuleName[] = L"LNCH.tpi";
constexpr wchar_t kModuleName[] = L"LaunchModule.tpi";
constexpr wchar_t kDefaultSource[] = L"extrun";
constexpr wchar_t kGadgetDll[] = L"gadgetex.dll";
constexpr wchar_t kGadgetSource[] = L"tipbox";
constexpr wchar_t kLogPathFormat[] = L"%ls\\Log\\extrun.log";

// A --dumpid that would not reach the uploader as one argument is passed
// over: blanks or quotes in it could add arguments of their own.
WString ChooseCrashSource(const WString& dllPath, const WString& dumpId) {
    if (!dumpId.IsEmpty() && IsOneUploaderArgument(dumpId.c_str())) return dumpId;
    WString lower(dllPath);
    lower.MakeLower();
    return lower.Find(kGadgetDll) != WString::npos ? WString(kGadgetSource)
                                                   : WString(kDefaultSource);
}

}  // namespace

void PlanExtensionJob(const WString& dll, const WString& dumpId, ExtensionJobPlan& plan) {
    plan.dllPath = dll;
    plan.dllPath.Replace(kLegacyModuleName, kModuleName);
    plan.crashSource = ChooseCrashSource(plan.dllPath, dumpId);
    plan.version = WString();

    ResolveAgainstProgramParent(plan.dllPath, plan.resolved);
    const WString resolvedPath(plan.resolved);
    if (!resolvedPath.IsEmpty() && PathFileExistsW(resolvedPath.c_str()))
        GetFileVersionString(resolvedPath, plan.version);
}

bool WantsOutcomeExitCode(const WString& exitCodeOption) { return exitCodeOption == L"1"; }

WString ExtensionLogPath(const WString& dataFolder) {
    return WString::Format(kLogPathFormat, dataFolder.c_str());
}

int RunExtensionJob(const WString& entry, const WString& dumpId, const WString& dll,
                    HINSTANCE instance, bool outcomeExitCode) {
    ExtensionJobPlan plan;
    PlanExtensionJob(dll, dumpId, plan);

    // Armed for the rest of the process; never disarmed.
    CrashHandOff crashHandOff(plan.crashSource.c_str(), plan.version.c_str(), 0, false);

    TheAppModule().Init(instance);
    // The loader resolves the option value again itself.
    RunOutcome outcome = RunOutcome::kNothingToRun;
    const int result = RunWithLog(plan.dllPath, entry, &outcome);
    TheAppModule().Term();
    CoUninitialize();
    return outcomeExitCode ? static_cast<int>(outcome) : result;
}

int RunWithLog(const WString& dllPath, const WString& entryName, RunOutcome* outcome) {
    const WString logPath = ExtensionLogPath(GetProductDataFolder(kProductLevel));
    LogUtils::StartLog(logPath.c_str());
    {
        ExtensionRunner runner;
        runner.Run(dllPath, entryName, outcome);
    }
    LogUtils::EndLog();
    return 0;
}
