#pragma once

#include <windows.h>

#include <string>

// One of the process's standard handles: a console gets the text as
// Unicode (WriteConsoleW), a file or pipe as UTF-8, so that names in any
// script survive either way. Nothing is written where the handle is missing.
class TextOutput {
public:
    explicit TextOutput(DWORD standardHandle);
    void Write(const std::wstring& text) const;

private:
    HANDLE handle_;
    bool console_;
};

// UTF-8 of `text`, and the text that UTF-8 `utf8` holds; what does not
// convert is left out.
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
