#pragma once

#include <cstdint>
#include <string>

namespace LogUtils {

class LogRecord;

// The process-wide logger. Levels 0..3; a record of level L is written when
// L >= threshold; threshold 3 is "off".
class Logger {
public:
    virtual ~Logger() {}
    virtual void SetLevel(int32_t level) = 0;
    virtual bool IsEnabled(int32_t level) = 0;
    virtual void Start(const wchar_t* path, const wchar_t* tag, int32_t defaultOn,
                       int32_t freshStart, int32_t maxBytes) = 0;
    virtual void Reset() = 0;
    virtual void End() = 0;
    virtual void ProcessCommand(const wchar_t* text) = 0;
    virtual void Log(LogRecord& record) = 0;
};

// Created on first use, never destroyed, never null.
Logger* GetLogger();
void StartLog(const wchar_t* path);
void EndLog();

// The switch file whose presence turns logging on: the log's path with ".on"
// appended.
inline constexpr wchar_t kSwitchFileSuffix[] = L".on";
inline std::wstring SwitchFilePath(const std::wstring& logPath) {
    return logPath + kSwitchFileSuffix;
}

}  // namespace LogUtils
