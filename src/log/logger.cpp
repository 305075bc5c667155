#include "log/logger.h"

#include <windows.h>

#include <atomic>

#include "log/critical_section.h"
#include "log/logger_impl.h"

namespace LogUtils {
namespace {

// Initialised before the program's entry point runs, so the first
// GetLogger on any thread finds it ready; deleted at process exit.
class CreationLock {
public:
    CreationLock() noexcept { InitializeCriticalSection(&section); }
    ~CreationLock() { DeleteCriticalSection(&section); }
    CRITICAL_SECTION section;
};

CreationLock creationLock;
std::atomic<Logger*> publishedLogger{nullptr};

constexpr int32_t kFreshStartOff = 0;
constexpr int32_t kDefaultOff = 0;

}  // namespace

Logger* GetLogger() {
    if (Logger* logger = publishedLogger.load(std::memory_order_acquire)) return logger;
    CriticalSectionGuard guard(creationLock.section);
    if (!publishedLogger.load(std::memory_order_relaxed)) {
        // The one logger of the process; never destroyed.
        Logger* logger = new LoggerImpl();
        // Another thread reading the pointer without the lock must see a
        // fully built object.
        MemoryBarrier();
        publishedLogger.store(logger, std::memory_order_release);
    }
    return publishedLogger.load(std::memory_order_relaxed);
}

void StartLog(const wchar_t* path) {
    if (Logger* logger = GetLogger())
        logger->Start(path, L"", kDefaultOff, kFreshStartOff, LoggerImpl::kDefaultMaxBytes);
}

void EndLog() {
    if (Logger* logger = GetLogger()) logger->End();
}

}  // namespace LogUtils
