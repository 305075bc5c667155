#include "text_output.h"

#include <climits>

TextOutput::TextOutput(DWORD standardHandle) : handle_(GetStdHandle(standardHandle)) {
    DWORD mode = 0;
    console_ = handle_ && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
}

void TextOutput::Write(const std::wstring& text) const {
    if (!handle_ || handle_ == INVALID_HANDLE_VALUE || text.empty() || text.size() > INT_MAX / 4)
        return;
    DWORD written = 0;
    // What could not be written is lost: there is nowhere else to say so.
    if (console_) {
        WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int units = static_cast<int>(text.size());
    std::string bytes(static_cast<size_t>(units) * 3, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, bytes.data(),
                                      static_cast<int>(bytes.size()), nullptr, nullptr);
    if (n > 0) WriteFile(handle_, bytes.data(), static_cast<DWORD>(n), &written, nullptr);
}

std::string Utf8(const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(static_cast<size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr)));
    return bytes;
}

std::wstring Wide(const std::string& utf8) {
    std::wstring text(utf8.size(), L'\0');
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                                        static_cast<int>(utf8.size()), text.data(),
                                                        static_cast<int>(text.size()))));
    return text;
}
