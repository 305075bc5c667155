#include "log/log_appender.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <utility>

#include "log/critical_section.h"

namespace LogUtils {
namespace {

constexpr wchar_t kHeaderFormat[] = L"%02d-%02d %02d:%02d:%02d.%03d [%5d][%5d]";
constexpr wchar_t kTaggedHeaderFormat[] = L"%02d-%02d %02d:%02d:%02d.%03d [%5d][%5d][%s]";
constexpr char kLineEnd[] = "\r\n";

// The header buffer holds 100 characters with its terminator.
constexpr int kHeaderChars = 100;
constexpr int kHeaderRoom = kHeaderChars - 1;
// Longest untagged header: two ids of 11 characters (a DWORD shown as %d).
constexpr int kLongestUntaggedHeader = 19 + 2 * (2 + 11);
// A tag this short fits whatever the ids are.
constexpr size_t kTagAlwaysFits = kHeaderRoom - kLongestUntaggedHeader - 2;

constexpr int kOpenFlags = _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY;
constexpr int kOpenPermissions = _S_IREAD | _S_IWRITE;

struct LocalStamp {
    tm calendar = {};
    int milliseconds = 0;
};

// Seconds and milliseconds as _ftime64_s gives them, from the clock it
// reads itself: _ftime64_s also queries the time zone on every call, which
// costs more under Wine (about 6 us) than writing the line does.
LocalStamp ReadLocalClock() {
    constexpr uint64_t kTicksPerMillisecond = 10000;
    constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000ull;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const uint64_t milliseconds = (ticks - kTicksFrom1601To1970) / kTicksPerMillisecond;
    const __time64_t seconds = static_cast<__time64_t>(milliseconds / 1000);
    LocalStamp stamp;
    _localtime64_s(&stamp.calendar, &seconds);
    stamp.milliseconds = static_cast<int>(milliseconds % 1000);
    return stamp;
}

// Formats the line header into `header` (kHeaderChars, zero-filled) and
// returns its length. A tag that would overflow the buffer is cut to fit.
int FormatHeader(wchar_t* header, const LocalStamp& stamp, const WString& tag) {
    const tm& t = stamp.calendar;
    const int processId = static_cast<int>(GetCurrentProcessId());
    const int threadId = static_cast<int>(GetCurrentThreadId());
    if (tag.IsEmpty())
        return wsprintfW(header, kHeaderFormat, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                         t.tm_sec, stamp.milliseconds, processId, threadId);
    if (tag.Length() <= kTagAlwaysFits)
        return wsprintfW(header, kTaggedHeaderFormat, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                         t.tm_sec, stamp.milliseconds, processId, threadId, tag.c_str());
    const int untagged = wsprintfW(header, kHeaderFormat, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                                   t.tm_min, t.tm_sec, stamp.milliseconds, processId, threadId);
    const WString cut = tag.Mid(0, static_cast<size_t>(kHeaderRoom - untagged - 2));
    return wsprintfW(header, kTaggedHeaderFormat, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                     t.tm_sec, stamp.milliseconds, processId, threadId, cut.c_str());
}

// Converts without flags or a default character of our own: characters the
// code page lacks become its best-fit or default characters. A failed
// conversion leaves the line empty. Two bytes a unit: under UTF-8 a line of
// mostly CJK text does not fit and is written empty (README, limits).
std::string ToAnsiLine(const std::wstring& line) {
    if (line.empty() || line.size() > static_cast<size_t>(INT_MAX / 2)) return kLineEnd;
    std::string narrow(line.size() * 2, '\0');
    const int n =
        WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), narrow.data(),
                            static_cast<int>(narrow.size()), nullptr, nullptr);
    narrow.resize(n > 0 ? static_cast<size_t>(n) : 0);
    narrow += kLineEnd;
    return narrow;
}

// The running size wraps rather than overflowing: it only ever grows by
// line lengths or shrinks by one per lost line.
int32_t AddToSize(int32_t size, int n) {
    return static_cast<int32_t>(static_cast<uint32_t>(size) + static_cast<uint32_t>(n));
}

}  // namespace

WString MutexNameForPath(const WString& path) {
    WString name;
    const wchar_t* p = path.c_str();
    for (size_t i = 0; i < path.Length(); ++i) {
        const wchar_t c = p[i];
        if (c >= L'a' && c <= L'z')
            name.Append(static_cast<wchar_t>(c - L'a' + L'A'));
        else if ((c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9'))
            name.Append(c);
    }
    return name;
}

LogAppender::LogAppender(const wchar_t* path, const wchar_t* tag, int32_t freshStart)
    : freshStart(freshStart), path(path), tag(tag) {
    InitializeCriticalSection(&queueLock);
    mutexName = MutexNameForPath(this->path);
    fileMutex = CreateMutexW(nullptr, TRUE, mutexName.c_str());
    if (!fileMutex) return;
    // Another appender (of this or another running process) made the mutex:
    // its file is in use, so it is not ours to delete, and the initial
    // ownership was not granted.
    if (GetLastError() == ERROR_ALREADY_EXISTS) return;
    if (this->freshStart) DeleteFileW(this->path.c_str());
    ReleaseMutex(fileMutex);
}

LogAppender::~LogAppender() {
    if (fd != -1) _close(fd);
    if (fileMutex) CloseHandle(fileMutex);
    DeleteCriticalSection(&queueLock);
}

void LogAppender::Append(const std::wstring& text) {
    const LocalStamp stamp = ReadLocalClock();
    wchar_t header[kHeaderChars] = {};
    const int headerLength = FormatHeader(header, stamp, tag);
    std::wstring line;
    line.reserve(static_cast<size_t>(headerLength) + text.size());
    line.append(header, static_cast<size_t>(headerLength)).append(text);
    std::string narrow = ToAnsiLine(line);
    CriticalSectionGuard guard(queueLock);
    queue.push_back(std::move(narrow));
}

void LogAppender::Open() {
    const errno_t error = _wsopen_s(&fd, path.c_str(), kOpenFlags, _SH_DENYNO, kOpenPermissions);
    if (error != 0) {
        fd = -1;
        const WString text =
            WString(L"open ") + path + L" error. [" + WString::Format(L"%d", error) + L"]\r\n";
        OutputDebugStringW(text.c_str());
    }
    bytesWritten = fd == -1 ? -1 : static_cast<int32_t>(_lseek(fd, 0, SEEK_END));
    // A failed open is not retried before the next Reset.
    needsOpen = false;
}

int32_t LogAppender::Write(const std::wstring& text, int32_t wait) {
    Append(text);
    if (needsOpen) Open();

    // Without a mutex the lines are written unordered against other
    // processes rather than kept: a queue nobody can flush would only grow.
    bool acquired = false;
    if (fileMutex) {
        const DWORD result = WaitForSingleObject(fileMutex, 0);
        // An owner that ended without releasing leaves the mutex abandoned,
        // which hands it to us all the same.
        acquired = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        if (!acquired) {
            if (!wait) return bytesWritten;
            WaitForSingleObject(fileMutex, INFINITE);
            acquired = true;
        }
    }

    std::vector<std::string> lines;
    {
        CriticalSectionGuard guard(queueLock);
        lines.swap(queue);
    }
    for (const std::string& line : lines) {
        const int n = fd != -1 ? _write(fd, line.data(), static_cast<unsigned>(line.size())) : -1;
        bytesWritten = AddToSize(bytesWritten, n);
    }
    if (acquired) ReleaseMutex(fileMutex);
    return bytesWritten;
}

bool LogAppender::Reset() {
    if (!needsOpen) {
        if (fd != -1) _close(fd);
        fd = -1;
        needsOpen = true;
    }
    bool deleted;
    DWORD error;
    {
        CriticalSectionGuard guard(queueLock);
        bytesWritten = 0;
        queue.clear();
        deleted = _wremove(path.c_str()) == 0;
        error = GetLastError();
    }
    // The logger reports why the delete failed.
    SetLastError(error);
    return deleted;
}

}  // namespace LogUtils
