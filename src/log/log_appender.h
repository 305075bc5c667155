#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/wstring.h"

namespace LogUtils {

// Name of the mutex that orders the writes of every process sharing the log
// at `path`: its ASCII letters and digits, upper-cased, nothing else. It has
// no namespace prefix, so it lives in the session's local namespace.
WString MutexNameForPath(const WString& path);

// Stamps texts into log lines (local time to the millisecond, process and
// thread id), converts them to the ANSI code page and writes them to one
// file that several processes share. Lines wait in a queue until this
// process holds the file mutex, so formatting never waits for another
// process and each process's lines reach the file whole and in order.
//
// The logger calls every operation with its own lock held; `queueLock`
// guards only the queue.
class LogAppender {
public:
    // `path` and `tag` may be null (read as empty). With `freshStart`, the old
    // file is deleted if no running process has an appender on this path yet.
    // Creates no file: the first Write opens (and creates) it.
    LogAppender(const wchar_t* path, const wchar_t* tag, int32_t freshStart);
    // The logger never destroys its appender, so in the program the file and
    // the mutex stay open until the process ends.
    ~LogAppender();
    LogAppender(const LogAppender&) = delete;
    LogAppender& operator=(const LogAppender&) = delete;

    // Formats one line and queues it; never touches the file.
    virtual void Append(const std::wstring& text);
    // Queues one line, then writes every queued line if the file mutex can be
    // had: at once when `wait` is 0 (else the lines stay queued), or after
    // waiting without limit. Returns the running size of the file.
    virtual int32_t Write(const std::wstring& text, int32_t wait);
    // Closes and deletes the file, drops the queue, zeroes the running size.
    // False: the file was not deleted, and the last error says why.
    virtual bool Reset();

private:
    void Open();

    HANDLE fileMutex = nullptr;
    int32_t bytesWritten = 0;
    bool needsOpen = true;
    int32_t freshStart = 0;
    WString path;
    WString mutexName;
    WString tag;
    int fd = -1;
    CRITICAL_SECTION queueLock;
    std::vector<std::string> queue;
};

}  // namespace LogUtils
