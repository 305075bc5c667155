#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>

#include "common/wstring.h"
#include "log/logger.h"

namespace LogUtils {

// The text of one log line before the appender's header: tag, location
// prefix, then whatever the call site inserts.
class LogRecord : public std::wostringstream {
public:
    LogRecord() : std::wostringstream(std::ios_base::out) {}
    // Written out: a defaulted move would have to copy the virtual basic_ios
    // base, and so would be deleted.
    LogRecord(LogRecord&& other) : std::wostringstream(std::move(other)) {}
};

// Starts a record with `tag` and "[%4d][%s] " (or "[%4d] " when `file` has no
// usable name between its last backslash and last dot).
// Narrow texts are widened from the ANSI code page.
LogRecord MakeLogRecord(const std::string& tag, const std::string& file, uint32_t line);
// The same for zero-terminated texts; a null tag reads as "(null)", a null
// file as a path without a name.
LogRecord MakeLogRecord(const char* tag, const char* file, uint32_t line);

}  // namespace LogUtils

// Lets a record take a WString like any zero-terminated wide text.
inline std::wostream& operator<<(std::wostream& out, const WString& text) {
    return out << text.c_str();
}

// The one logging statement: nothing is built or formatted unless the level
// is enabled. `message` is a chain of stream insertions.
#define EXTRUN_LOG(level, tag, file, line, message)                                          \
    do {                                                                                     \
        if (::LogUtils::GetLogger()->IsEnabled(level)) {                                     \
            ::LogUtils::LogRecord extrunRecord = ::LogUtils::MakeLogRecord(tag, file, line); \
            extrunRecord << message;                                                         \
            ::LogUtils::GetLogger()->Log(extrunRecord);                                      \
        }                                                                                    \
    } while (0)
