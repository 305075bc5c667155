#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <ios>
#include <string>

#include "common/wstring.h"
#include "log/logger.h"
#include "log/wide_buffer.h"

namespace LogUtils {

// The text of one log line before the appender's header: tag, location
// prefix, then whatever the call site inserts, with nothing between.
//
// Each insertion adds the text that a wide output string stream with
// default formatting would add, without the stream's locale machinery:
// - integers in decimal; after std::hex or std::oct (until std::dec) in that
//   base as the unsigned value of their own width (signed and unsigned char
//   count as int); bool as 1 or 0;
// - pointers as 0x and lower-case hex digits, a null pointer as 0;
// - narrow text and char byte by byte through the ANSI code page, a byte
//   that is no character on its own giving U+FFFF;
// - a null text fails the record as it fails a stream: from there on
//   nothing more goes in.
// Other manipulators are ignored; floating point does not compile.
class LogRecord {
public:
    LogRecord() = default;
    LogRecord(LogRecord&&) = default;

    LogRecord& operator<<(const wchar_t* text);
    LogRecord& operator<<(const char* text);
    LogRecord& operator<<(const std::wstring& text) { return Write(text.data(), text.size()); }
    // Up to its first zero, like any zero-terminated text.
    LogRecord& operator<<(const WString& text) { return *this << text.c_str(); }
    LogRecord& operator<<(wchar_t ch) { return Write(&ch, 1); }
    LogRecord& operator<<(char ch) { return *this << WidenByte(ch); }

    LogRecord& operator<<(bool value) { return InsertUnsigned(value ? 1 : 0); }
    LogRecord& operator<<(signed char value) { return *this << static_cast<int>(value); }
    LogRecord& operator<<(unsigned char value) { return *this << static_cast<int>(value); }
    LogRecord& operator<<(short value) {
        return InsertSigned(value, static_cast<unsigned short>(value));
    }
    LogRecord& operator<<(unsigned short value) { return InsertUnsigned(value); }
    LogRecord& operator<<(int value) { return InsertSigned(value, static_cast<unsigned>(value)); }
    LogRecord& operator<<(unsigned value) { return InsertUnsigned(value); }
    LogRecord& operator<<(long value) {
        return InsertSigned(value, static_cast<unsigned long>(value));
    }
    LogRecord& operator<<(unsigned long value) { return InsertUnsigned(value); }
    LogRecord& operator<<(long long value) {
        return InsertSigned(value, static_cast<unsigned long long>(value));
    }
    LogRecord& operator<<(unsigned long long value) { return InsertUnsigned(value); }

    LogRecord& operator<<(const void* pointer);
    // std::hex, std::oct and std::dec.
    LogRecord& operator<<(std::ios_base& (*manipulator)(std::ios_base&));

    LogRecord& operator<<(float) = delete;
    LogRecord& operator<<(double) = delete;
    LogRecord& operator<<(long double) = delete;

    // `length` units as they are, zeros included.
    LogRecord& Write(const wchar_t* text, size_t length);

    // Everything inserted so far; not zero-terminated.
    const wchar_t* Data() const noexcept { return text_.Data(); }
    size_t Length() const noexcept { return text_.Length(); }
    std::wstring str() const { return std::wstring(Data(), Length()); }

private:
    static wchar_t WidenByte(char byte);
    LogRecord& InsertSigned(long long value, unsigned long long ownWidthBits);
    LogRecord& InsertUnsigned(unsigned long long value);
    void InsertDigits(unsigned long long value, unsigned base);

    WideBuffer text_;
    unsigned base_ = 10;
    bool failed_ = false;
};

// Starts a record with `tag` and "[%4d][%s] " (or "[%4d] " when `file` has no
// usable name between its last backslash and last dot).
// Narrow texts are widened from the ANSI code page.
LogRecord MakeLogRecord(const std::string& tag, const std::string& file, uint32_t line);
// The same for zero-terminated texts; a null tag reads as "(null)", a null
// file as a path without a name.
LogRecord MakeLogRecord(const char* tag, const char* file, uint32_t line);

// Puts the thread's last-error value back when it goes, so that a logging
// statement between a failing call and the code that reads its error
// changes nothing.
class LastErrorKeeper {
public:
    LastErrorKeeper() noexcept : saved_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD saved_;
};

}  // namespace LogUtils

// The one logging statement: nothing is built or formatted unless the level
// is enabled. `message` is a chain of insertions. The level check (and the
// logger's creation on first use) only allocates and enters and leaves
// critical sections, none of which sets the last error, so only the enabled
// path needs to keep it.
#define EXTRUN_LOG(level, tag, file, line, message)                                          \
    do {                                                                                     \
        if (::LogUtils::GetLogger()->IsEnabled(level)) {                                     \
            const ::LogUtils::LastErrorKeeper extrunLastError;                               \
            ::LogUtils::LogRecord extrunRecord = ::LogUtils::MakeLogRecord(tag, file, line); \
            extrunRecord << message;                                                         \
            ::LogUtils::GetLogger()->Log(extrunRecord);                                      \
        }                                                                                    \
    } while (0)
