#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "log/logger.h"

namespace LogUtils {

// The text of one log line before the appender's header: tag, location
// prefix, then whatever the call site inserts.
class LogRecord : public std::wostringstream {
public:
    LogRecord() : std::wostringstream(std::ios_base::out) {}
    LogRecord(LogRecord&&) = default;
};

// Starts a record with `tag` and "[%4d][%s] " (or "[%4d] " when `file` has no
// usable name between its last backslash and last dot).
LogRecord MakeLogRecord(const std::string& tag, const std::string& file, uint32_t line);

}  // namespace LogUtils

// The one logging statement: nothing is built or formatted unless the level
// is enabled. `message` is a chain of stream insertions.
#define EXTRUN_LOG(level, tag, file, line, message)                                  \
    do {                                                                              \
        if (::LogUtils::GetLogger()->IsEnabled(level)) {                              \
            ::LogUtils::LogRecord extrunRecord = ::LogUtils::MakeLogRecord(tag, file, line); \
            extrunRecord << message;                                                  \
            ::LogUtils::GetLogger()->Log(extrunRecord);                               \
        }                                                                             \
    } while (0)
