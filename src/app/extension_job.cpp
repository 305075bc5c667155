#include "app/extension_job.h"

#include <objbase.h>
#include <shlwapi.h>

#include "app/app_module.h"
#include "common/path_buffer.h"
#include "crash/crash_handoff.h"
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
// The product is recognised in the parent of the program's own folder.
constexpr int kProductLevel = 1;

WString ChooseCrashSource(const WString& dllPath, const WString& dumpId) {
    if (!dumpId.IsEmpty()) return dumpId;
    WString lower(dllPath);
    lower.MakeLower();
    return lower.Find(kGadgetDll) != WString::npos ? WString(kGadgetSource)
                                                   : WString(kDefaultSource);
}

}  // namespace

int RunExtensionJob(const WString& entry, const WString& dumpId, const WString& dll,
                    HINSTANCE instance) {
    WString dllPath(dll);
    dllPath.Replace(kLegacyModuleName, kModuleName);

    const WString crashSource = ChooseCrashSource(dllPath, dumpId);
    WString version;

    PathBuffer resolved;
    ResolveAgainstProgramParent(dllPath, resolved);
    const WString resolvedPath(resolved);
    if (!resolvedPath.IsEmpty() && PathFileExistsW(resolvedPath.c_str()))
        GetFileVersionString(resolvedPath, version);

    // Armed for the rest of the process; never disarmed.
    CrashHandOff crashHandOff(crashSource.c_str(), version.c_str(), 0, false);

    TheAppModule().Init(instance);
    // The loader resolves the option value again itself.
    const int result = RunWithLog(dllPath, entry);
    TheAppModule().Term();
    CoUninitialize();
    return result;
}

int RunWithLog(const WString& dllPath, const WString& entryName) {
    const WString folder = GetProductDataFolder(kProductLevel);
    // An unrecognised product gives \Log\extrun.log on the current drive.
    const WString logPath = WString::Format(kLogPathFormat, folder.c_str());
    LogUtils::StartLog(logPath.c_str());
    {
        ExtensionRunner runner;
        runner.Run(dllPath, entryName);
    }
    LogUtils::EndLog();
    return 0;
}
