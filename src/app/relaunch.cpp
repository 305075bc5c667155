#include "app/relaunch.h"

#include <windows.h>

#include <cstring>
#include <memory>

#include "common/handles.h"
#include "common/narrow.h"
#include "common/path_buffer.h"
#include "package/param_package.h"

namespace {

void SignalSync(const WString& syncEvent) {
    if (syncEvent.IsEmpty()) return;
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, syncEvent.c_str()));
    if (event) SetEvent(event.get());
}

}  // namespace

int RelaunchFromPackage(const WString& param, const WString& syncEvent) {
    const std::string packageText = ToNarrow(param, CP_ACP);
    ParamPackage package;
    package.Load(packageText.c_str(), packageText.size());

    // Zero-filled: a package without the record relaunches with an empty line.
    std::unique_ptr<wchar_t[]> commandLine(new wchar_t[kRelaunchCommandLineUnits + 1]());
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (package.FindRecord(kCommandLineTag, kCommandLineRecord, &data, &length))
        CopyCommandLine(data, length, commandLine.get());

    PathBuffer self = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;  // wShowWindow 0: SW_HIDE
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(self, commandLine.get(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return 0;
    }
    SignalSync(syncEvent);
    return 1;
}
