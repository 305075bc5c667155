#include "app/relaunch.h"

#include <windows.h>

#include <cstring>
#include <memory>

#include "common/handles.h"
#include "common/narrow.h"
#include "common/path_buffer.h"
#include "package/param_package.h"

namespace {

constexpr size_t kCommandLineBytes = (kRelaunchCommandLineUnits + 1) * sizeof(wchar_t);
// At most this much of the record is taken, so the buffer always ends in a
// zero unit even when the record holds none.
constexpr size_t kCommandLineCopyLimit = kCommandLineBytes - sizeof(wchar_t);

void SignalSync(const WString& syncEvent) {
    if (syncEvent.IsEmpty()) return;
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, syncEvent.c_str()));
    if (event) SetEvent(event.get());
}

}  // namespace

size_t CopyCommandLine(const uint8_t* data, uint32_t length, wchar_t* commandLine) {
    std::memcpy(commandLine, data, length < kCommandLineCopyLimit ? length : kCommandLineCopyLimit);
    size_t units = 0;
    for (size_t at = 0; at < length; at += 2, ++units)
        if (data[at] == 0 && (at + 1 == length || data[at + 1] == 0)) break;
    return units;
}

int RelaunchFromPackage(const WString& param, const WString& syncEvent) {
    const std::string packageText = ToNarrow(param, CP_ACP);
    ParamPackage package;
    package.Load(packageText.c_str(), packageText.size());

    // Zero-filled: a package without the record relaunches with an empty line.
    std::unique_ptr<wchar_t[]> commandLine(new wchar_t[kCommandLineBytes / sizeof(wchar_t)]());
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
