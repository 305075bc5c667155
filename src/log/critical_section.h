#pragma once

#include <windows.h>

namespace LogUtils {

// Holds a critical section for the rest of a scope.
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& section) noexcept : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~CriticalSectionGuard() { LeaveCriticalSection(&section_); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

}  // namespace LogUtils
