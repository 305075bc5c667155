#include "log/log_record.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace LogUtils {
namespace {

constexpr wchar_t kNullText[] = L"(null)";
constexpr char kNamedPrefixFormat[] = "[%4d][%.*s] ";
constexpr char kLinePrefixFormat[] = "[%4d] ";
constexpr char kLinePartFormat[] = "[%4d][";

// The prefix is formatted into 100 bytes, terminator included.
constexpr size_t kPrefixBytes = 100;
constexpr size_t kPrefixRoom = kPrefixBytes - 1;
// "[" + the longest %d + "][" ... "] ": a name this short always fits.
constexpr size_t kNameAlwaysFits = kPrefixRoom - (1 + 11 + 2) - 2;

// Widens from the ANSI code page into as many characters as the text has
// bytes; a text that cannot be widened goes in empty.
void InsertNarrow(LogRecord& record, const char* text, size_t length) {
    if (!text) {
        record << kNullText;
        return;
    }
    if (length == 0 || length > static_cast<size_t>(INT_MAX)) return;
    if (length <= kPrefixBytes) {
        wchar_t wide[kPrefixBytes];
        const int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide,
                                          static_cast<int>(length));
        if (n > 0) record.Write(wide, static_cast<size_t>(n));
        return;
    }
    std::wstring wide(length, L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide.data(),
                                      static_cast<int>(length));
    if (n > 0) record.Write(wide.data(), static_cast<size_t>(n));
}

// "[%4d][name] " with the part of `file` between its last backslash and its
// last dot, or "[%4d] " when there is no such part. A name too long for the
// buffer is cut to fit.
size_t FormatLocation(char (&prefix)[kPrefixBytes], const char* file, size_t fileLength,
                      uint32_t line) {
    const int number = static_cast<int>(line);
    const char* end = file + fileLength;
    const char* slash = nullptr;
    const char* dot = nullptr;
    for (const char* p = end; p != file && !(slash && dot);) {
        --p;
        if (!slash && *p == '\\') slash = p;
        if (!dot && *p == '.') dot = p;
    }
    // msvcrt's own count-limited formatting: the standard snprintf would
    // bring mingw's complete printf, floating point and all. Given at most
    // kPrefixRoom bytes of the zero-filled buffer, the text stays
    // terminated even if it were cut.
    int written;
    if (slash && dot && slash + 1 < dot) {
        size_t nameLength = static_cast<size_t>(dot - slash - 1);
        if (nameLength > kNameAlwaysFits) {
            const int head = _snprintf(prefix, kPrefixRoom, kLinePartFormat, number);
            nameLength = std::min(nameLength, kPrefixRoom - static_cast<size_t>(head) - 2);
        }
        written = _snprintf(prefix, kPrefixRoom, kNamedPrefixFormat, number,
                            static_cast<int>(nameLength), slash + 1);
    } else {
        written = _snprintf(prefix, kPrefixRoom, kLinePrefixFormat, number);
    }
    return written > 0 ? std::strlen(prefix) : 0;
}

LogRecord MakeRecord(const char* tag, size_t tagLength, const char* file, size_t fileLength,
                     uint32_t line) {
    LogRecord record;
    char prefix[kPrefixBytes] = {};
    const size_t prefixLength =
        FormatLocation(prefix, file ? file : "", file ? fileLength : 0, line);
    InsertNarrow(record, tag, tagLength);
    InsertNarrow(record, prefix, prefixLength);
    return record;
}

}  // namespace

// As the stream's classic locale widens a byte: alone, through the ANSI
// code page, with U+FFFF for a byte that is no character by itself (a lead
// byte, or a byte the code page leaves undefined). A refusing call may still
// have written its replacement character, as Wine's UTF-8 does.
wchar_t LogRecord::WidenByte(char byte) {
    if (static_cast<unsigned char>(byte) < 0x80) return static_cast<wchar_t>(byte);
    wchar_t wide = 0;
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &byte, 1, &wide, 1) == 1 ? wide
                                                                                      : 0xFFFF;
}

LogRecord& LogRecord::Write(const wchar_t* text, size_t length) {
    if (!failed_) text_.Append(text, length);
    return *this;
}

LogRecord& LogRecord::operator<<(const wchar_t* text) {
    if (!text) failed_ = true;
    return failed_ ? *this : Write(text, std::wcslen(text));
}

LogRecord& LogRecord::operator<<(const char* text) {
    if (!text) failed_ = true;
    if (failed_) return *this;
    for (; *text; ++text) text_.Append(WidenByte(*text));
    return *this;
}

LogRecord& LogRecord::operator<<(const void* pointer) {
    if (failed_) return *this;
    const auto bits = reinterpret_cast<uintptr_t>(pointer);
    if (bits) Write(L"0x", 2);
    InsertDigits(bits, 16);
    return *this;
}

LogRecord& LogRecord::operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
    if (manipulator == &std::hex)
        base_ = 16;
    else if (manipulator == &std::oct)
        base_ = 8;
    else if (manipulator == &std::dec)
        base_ = 10;
    return *this;
}

LogRecord& LogRecord::InsertSigned(long long value, unsigned long long ownWidthBits) {
    if (failed_) return *this;
    if (base_ != 10) {
        InsertDigits(ownWidthBits, base_);
    } else if (value < 0) {
        text_.Append(L'-');
        InsertDigits(0ull - static_cast<unsigned long long>(value), 10);
    } else {
        InsertDigits(static_cast<unsigned long long>(value), 10);
    }
    return *this;
}

LogRecord& LogRecord::InsertUnsigned(unsigned long long value) {
    if (!failed_) InsertDigits(value, base_);
    return *this;
}

void LogRecord::InsertDigits(unsigned long long value, unsigned base) {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    // 22 octal digits hold 64 bits; the loop stops at the buffer's start
    // all the same, so that a buffer made too small cuts the number short
    // instead of writing below it.
    wchar_t digits[22];
    wchar_t* start = digits + sizeof(digits) / sizeof(digits[0]);
    do {
        *--start = kDigits[value % base];
        value /= base;
    } while (value && start != digits);
    text_.Append(start, static_cast<size_t>(digits + sizeof(digits) / sizeof(digits[0]) - start));
}

LogRecord MakeLogRecord(const std::string& tag, const std::string& file, uint32_t line) {
    return MakeRecord(tag.data(), tag.size(), file.data(), file.size(), line);
}

LogRecord MakeLogRecord(const char* tag, const char* file, uint32_t line) {
    return MakeRecord(tag, tag ? std::strlen(tag) : 0, file, file ? std::strlen(file) : 0, line);
}

}  // namespace LogUtils
