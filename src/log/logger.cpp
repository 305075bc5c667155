#include "log/logger.h"
// Placeholder until the logger lands.
namespace LogUtils {
Logger* GetLogger() { return nullptr; }
void StartLog(const wchar_t*) {}
void EndLog() {}
}  // namespace LogUtils
