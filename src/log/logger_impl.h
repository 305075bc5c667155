#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "log/logger.h"

namespace LogUtils {

class LogAppender;

// The logger behind GetLogger: a level gate, the ".on" switch file beside
// the log, banner lines that mark the log's life, and the size limit. Every
// operation holds `lock`, which is recursive because operations call
// IsEnabled and SetLevel on themselves.
class LoggerImpl : public Logger {
public:
    static constexpr int32_t kDefaultMaxBytes = 0x6400000;

    LoggerImpl();
    // Does not destroy the appender, which lives until the process ends.
    ~LoggerImpl() override;
    LoggerImpl(const LoggerImpl&) = delete;
    LoggerImpl& operator=(const LoggerImpl&) = delete;

    void SetLevel(int32_t level) override;
    bool IsEnabled(int32_t level) override;
    void Start(const wchar_t* path, const wchar_t* tag, int32_t defaultOn, int32_t freshStart,
               int32_t maxBytes) override;
    void Reset() override;
    void End() override;
    void ProcessCommand(const wchar_t* text) override;
    void Log(LogRecord& record) override;

private:
    bool SwitchFileExists() const;
    void ReloadSwitch();
    void LimitSize(int32_t size);

    CRITICAL_SECTION lock;
    int32_t threshold = 3;
    int32_t pinned = 0;
    int32_t freshStart = 0;
    LogAppender* appender = nullptr;
    std::wstring path;
    int32_t maxBytes = kDefaultMaxBytes;
};

}  // namespace LogUtils
