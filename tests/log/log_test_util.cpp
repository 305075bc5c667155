#include "log_test_util.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

#include "log/log_appender.h"
#include "log/log_record.h"
#include "test_support.h"

namespace logtest {
namespace {

bool Digits(const std::string& s, size_t at, size_t count) {
    for (size_t i = at; i < at + count; ++i)
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// Reads "[%5d]" at `at`: at least five columns, right-aligned with blanks.
bool ReadId(const std::string& s, size_t* at, long* id) {
    if (*at >= s.size() || s[*at] != '[') return false;
    const size_t close = s.find(']', *at);
    if (close == std::string::npos || close - *at - 1 < 5) return false;
    const std::string field = s.substr(*at + 1, close - *at - 1);
    const size_t first = field.find_first_not_of(' ');
    if (first == std::string::npos || !Digits(field, first, field.size() - first)) return false;
    *id = std::stol(field.substr(first));
    *at = close + 1;
    return true;
}

bool ParseLine(const std::string& line, LogLine* out) {
    // MM-DD hh:mm:ss.mmm followed by one blank.
    static const char kShape[] = "00-00 00:00:00.000 ";
    if (line.size() < sizeof(kShape) - 1) return false;
    for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        if (kShape[i] == '0' ? !Digits(line, i, 1) : line[i] != kShape[i]) return false;
    }
    size_t at = sizeof(kShape) - 1;
    out->stamp = line.substr(0, at - 1);
    if (!ReadId(line, &at, &out->processId) || !ReadId(line, &at, &out->threadId)) return false;
    out->text = line.substr(at);
    return true;
}

}  // namespace

std::vector<LogLine> ReadLogLines(const std::wstring& path, size_t skipBytes) {
    std::vector<LogLine> lines;
    std::string bytes;
    if (!testsupport::ReadBytes(path, &bytes)) {
        ADD_FAILURE() << "cannot read " << testsupport::ToUtf8(path);
        return lines;
    }
    bytes.erase(0, skipBytes);
    if (bytes.empty()) return lines;
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n") << "the file ends inside a line";
    for (const std::string& raw : testsupport::SplitLines(bytes)) {
        EXPECT_EQ(raw.find_first_of("\r\n"), std::string::npos) << "stray line break in: " << raw;
        LogLine line;
        EXPECT_TRUE(ParseLine(raw, &line)) << "not a log line: " << raw;
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ReadLogTexts(const std::wstring& path, size_t skipBytes) {
    std::vector<std::string> texts;
    for (const LogLine& line : ReadLogLines(path, skipBytes)) texts.push_back(line.text);
    return texts;
}

std::string IdsOfThisThread() {
    char ids[64];
    std::snprintf(ids, sizeof(ids), "[%5lu][%5lu]", GetCurrentProcessId(), GetCurrentThreadId());
    return ids;
}

bool MakeFileOfSize(const std::wstring& path, const std::string& firstLine, long long size) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const std::string head = firstLine + "\r\n";
    DWORD written = 0;
    LARGE_INTEGER end;
    end.QuadPart = size;
    return WriteFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &written, nullptr) &&
           SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

MutexHolder::MutexHolder(const std::wstring& logPath)
    : owned_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    const WString name = LogUtils::MutexNameForPath(WString(logPath.c_str()));
    thread_ = std::thread([this, name] {
        UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
        WaitForSingleObject(mutex.get(), INFINITE);
        SetEvent(owned_.get());
        WaitForSingleObject(done_.get(), INFINITE);
        if (release_) ReleaseMutex(mutex.get());
    });
    EXPECT_EQ(WaitForSingleObject(owned_.get(), 10000), WAIT_OBJECT_0);
}

MutexHolder::~MutexHolder() { Finish(true); }

void MutexHolder::Release() { Finish(true); }

void MutexHolder::Abandon() { Finish(false); }

void MutexHolder::Finish(bool release) {
    if (!thread_.joinable()) return;
    release_ = release;
    SetEvent(done_.get());
    thread_.join();
}

void LogText(LogUtils::Logger& logger, const std::string& text) {
    LogUtils::LogRecord record;
    record << std::wstring(text.begin(), text.end());
    logger.Log(record);
}

}  // namespace logtest
