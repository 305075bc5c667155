#include "log/logger.h"
// Placeholder until the logger lands.
namespace LogUtils {
Logger* GetLogger() { return nullptr; }
void StartLog(const wchar_t*) {}
void EndLog() {}
}  // namespace LogUtils
#include "log/log_record.h"
namespace LogUtils {
LogRecord MakeLogRecord(const std::string&, const std::string&, uint32_t) { return LogRecord(); }
}  // namespace LogUtils
