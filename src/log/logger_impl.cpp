#include "log/logger_impl.h"

#include <shlwapi.h>

#include "common/handles.h"
#include "log/critical_section.h"
#include "log/log_appender.h"
#include "log/log_record.h"

namespace LogUtils {
namespace {

constexpr wchar_t kBannerStart[] = L"-------log start";
constexpr wchar_t kBannerEnd[] = L"-------log end";
constexpr wchar_t kBannerReset[] = L"-------log reset";
constexpr wchar_t kBannerOff[] = L"-------log off";
constexpr wchar_t kBannerLevelChange[] = L"-------log lev change";
constexpr wchar_t kBannerReloadSwitch[] = L"-------log reload switch";
constexpr wchar_t kBannerFull[] = L"-------log full";
constexpr wchar_t kBannerFullReset[] = L"-------log full reset";
constexpr wchar_t kBannerFullResetFailed[] = L"-------log full reset failed. ";

constexpr int32_t kOff = 3;
constexpr int32_t kWaiting = 1;
constexpr int32_t kNotWaiting = 0;

constexpr wchar_t kReloadSwitch[] = L"--reload_log_switch";
// Searched in this order; the first found acts.
constexpr struct {
    const wchar_t* text;
    int32_t level;
} kLevelSwitches[] = {
    {L"--set_log_lev=0", 0},
    {L"--set_log_lev=1", 1},
    {L"--set_log_lev=2", 2},
    {L"--set_log_lev=3", 3},
};

// "<code>" or "<code>:<system message>", with every CRLF taken out so the
// text stays on one log line.
std::wstring ErrorText(DWORD code) {
    // wsprintfW rather than std::to_wstring, which brings mingw's complete
    // wide printf.
    wchar_t number[16];
    wsprintfW(number, L"%d", static_cast<int>(code));
    std::wstring text = number;
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    const UniqueLocal owner(message);
    if (length != 0 && message) text.append(L":").append(message, length);
    for (size_t at; (at = text.find(L"\r\n")) != std::wstring::npos;) text.erase(at, 2);
    return text;
}

}  // namespace

LoggerImpl::LoggerImpl() { InitializeCriticalSection(&lock); }

LoggerImpl::~LoggerImpl() { DeleteCriticalSection(&lock); }

bool LoggerImpl::IsEnabled(int32_t level) {
    CriticalSectionGuard guard(lock);
    return level >= threshold;
}

bool LoggerImpl::SwitchFileExists() const {
    return PathFileExistsW(SwitchFilePath(path).c_str()) != FALSE;
}

void LoggerImpl::Start(const wchar_t* path, const wchar_t* tag, int32_t defaultOn,
                       int32_t freshStart, int32_t maxBytes) {
    CriticalSectionGuard guard(lock);
    this->path = path ? path : L"";
    this->maxBytes = maxBytes;
    this->freshStart = freshStart;
    // Made once and kept to the end of the process: a later Start goes on
    // writing to the first file.
    if (!appender) appender = new LogAppender(path, tag, freshStart);
    threshold = defaultOn ? 1 : kOff;
    if (SwitchFileExists()) {
        threshold = 0;
        pinned = defaultOn;
    }
    if (IsEnabled(1)) appender->Append(kBannerStart);
}

void LoggerImpl::SetLevel(int32_t level) {
    CriticalSectionGuard guard(lock);
    if (pinned) return;
    if (appender) {
        if (threshold <= 1) {
            if (level == kOff)
                appender->Write(kBannerOff, kWaiting);
            else
                appender->Write(kBannerLevelChange, kNotWaiting);
        } else if (level <= 1) {
            appender->Write(kBannerLevelChange, kNotWaiting);
        }
    }
    threshold = level;
}

void LoggerImpl::ProcessCommand(const wchar_t* text) {
    if (!text) return;
    for (const auto& levelSwitch : kLevelSwitches) {
        if (StrStrIW(text, levelSwitch.text)) {
            SetLevel(levelSwitch.level);
            return;
        }
    }
    if (StrStrIW(text, kReloadSwitch)) ReloadSwitch();
}

// Pinning is about SetLevel only: the switch file always has the last word.
void LoggerImpl::ReloadSwitch() {
    CriticalSectionGuard guard(lock);
    threshold = SwitchFileExists() ? 0 : kOff;
    if (appender && IsEnabled(1)) appender->Append(kBannerReloadSwitch);
}

void LoggerImpl::Log(LogRecord& record) {
    const std::wstring text(record.Data(), record.Length());
    CriticalSectionGuard guard(lock);
    if (!appender) return;
    LimitSize(appender->Write(text, kNotWaiting));
}

void LoggerImpl::LimitSize(int32_t size) {
    if (size <= maxBytes) return;
    if (freshStart) {
        appender->Write(kBannerFull, kWaiting);
        threshold = kOff;
        return;
    }
    if (appender->Reset()) {
        appender->Append(kBannerFullReset);
        return;
    }
    // Typically another process still has the file open. The line waits in
    // the queue for a later write, and the logger stays off from here.
    const DWORD error = GetLastError();
    appender->Append(kBannerFullResetFailed + ErrorText(error));
    threshold = kOff;
}

void LoggerImpl::Reset() {
    CriticalSectionGuard guard(lock);
    if (!appender) return;
    appender->Reset();
    if (IsEnabled(1)) appender->Append(kBannerReset);
}

void LoggerImpl::End() {
    CriticalSectionGuard guard(lock);
    if (!appender) return;
    // Waiting, so that every line still queued reaches the file.
    if (IsEnabled(1)) appender->Write(kBannerEnd, kWaiting);
    threshold = kOff;
}

}  // namespace LogUtils
