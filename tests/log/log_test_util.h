#pragma once

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "log/logger.h"

namespace logtest {

// One line of the log file, split at the end of its header.
struct LogLine {
    std::string stamp;  // "MM-DD hh:mm:ss.mmm"
    long processId = 0;
    long threadId = 0;
    std::string text;  // everything after the ids and the CRLF-less end
};

// Reads the file from `skipBytes` on and splits it into lines. Adds a test
// failure for a missing final CRLF, a stray CR or LF, or a line whose header
// is not "MM-DD hh:mm:ss.mmm [%5d][%5d]".
std::vector<LogLine> ReadLogLines(const std::wstring& path, size_t skipBytes = 0);
// The texts of those lines, headers removed.
std::vector<std::string> ReadLogTexts(const std::wstring& path, size_t skipBytes = 0);

// "[%5d][%5d]" of the calling process and thread.
std::string IdsOfThisThread();

// Creates `path` with `size` bytes: `firstLine` + CRLF, then zeros that the
// file system need not store.
bool MakeFileOfSize(const std::wstring& path, const std::string& firstLine, long long size);

// Owns the file mutex of the log at `path` on a thread of its own until
// Release (or, with Abandon, lets that thread end still owning it).
class MutexHolder {
public:
    explicit MutexHolder(const std::wstring& logPath);
    ~MutexHolder();
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;
    void Release();
    void Abandon();

private:
    void Finish(bool release);
    UniqueHandle owned_;
    UniqueHandle done_;
    bool release_ = true;
    std::thread thread_;
};

// A record holding just `text`, handed to `logger`.
void LogText(LogUtils::Logger& logger, const std::string& text);

}  // namespace logtest
