#pragma once

#include <windows.h>

#include <exception>

// The one exception this program raises: a failure of the string type or of
// an allocation, carrying the HRESULT that names it. Nothing catches it; once
// the crash hand-off is armed it ends there.
class HResultError : public std::exception {
public:
    explicit HResultError(HRESULT code) : code_(code) {}
    HRESULT Code() const noexcept { return code_; }
    const char* what() const noexcept override { return "HRESULT failure"; }

private:
    HRESULT code_;
};

[[noreturn]] void ThrowHResult(HRESULT code);
// Throws HRESULT_FROM_WIN32 of the calling thread's last error.
[[noreturn]] void ThrowLastError();
