// Figures for the shared log, each against a baseline measured in the same
// run:
//   1. a logging statement whose level is off, against one uncontended
//      critical-section enter and leave;
//   2. enabled records per second in one process, against a loop doing only
//      the work each line needs (take the file mutex without waiting, one
//      _write of a line of the same size, release);
//   3. four processes writing 100,000 records each to one file: records per
//      second, and lines lost or broken (must be 0).
// Usage: log_bench [records per process]   (default 100000)
// The program runs itself as "log_bench child ..." for part 3.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/handles.h"
#include "log/log_appender.h"
#include "log/log_record.h"

namespace {

constexpr char kSource[] = "c:\\extrun\\bench\\log_bench.cpp";
constexpr uint32_t kSourceLine = 32;
constexpr int kRounds = 3;
constexpr int kProcesses = 4;
const WString kPadding(L"abcdefghijklmnopqrstuvwxyz0123456789");

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

std::wstring MakeWorkFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"log-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void Touch(const std::wstring& path) {
    UniqueFileHandle(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

// Part 1 ---------------------------------------------------------------------

void MeasureDisabledStatement() {
    constexpr int kStatements = 20000000;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    double lockBest = 1e30, statementBest = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        double t0 = Now();
        for (int i = 0; i < kStatements; ++i) {
            EnterCriticalSection(&section);
            LeaveCriticalSection(&section);
        }
        double t1 = Now();
        for (int i = 0; i < kStatements; ++i)
            EXTRUN_LOG(1, "[I]", kSource, kSourceLine, L"never built " << i);
        double t2 = Now();
        lockBest = std::min(lockBest, t1 - t0);
        statementBest = std::min(statementBest, t2 - t1);
    }
    DeleteCriticalSection(&section);
    const double lockNs = lockBest * 1e9 / kStatements;
    const double statementNs = statementBest * 1e9 / kStatements;
    std::printf(
        "disabled statement: %.1f ns; critical section enter+leave: %.1f ns; "
        "ratio %.2f (target <= 2)\n",
        statementNs, lockNs, statementNs / lockNs);
}

// Part 2 ---------------------------------------------------------------------

double BaselineSeconds(const std::wstring& path, const std::string& line, int lines) {
    const WString name = LogUtils::MutexNameForPath(WString(path.c_str()));
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
    int fd = -1;
    _wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _SH_DENYNO,
              _S_IREAD | _S_IWRITE);
    const double t0 = Now();
    for (int i = 0; i < lines; ++i) {
        const DWORD wait = WaitForSingleObject(mutex.get(), 0);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) continue;
        _write(fd, line.data(), static_cast<unsigned>(line.size()));
        ReleaseMutex(mutex.get());
    }
    const double seconds = Now() - t0;
    _close(fd);
    DeleteFileW(path.c_str());
    return seconds;
}

double LoggerSeconds(int records) {
    const double t0 = Now();
    for (int i = 0; i < records; ++i)
        EXTRUN_LOG(1, "[I]", kSource, kSourceLine, L"proc 0 seq " << i << L" " << kPadding);
    return Now() - t0;
}

void MeasureEnabledRecords(const std::wstring& folder) {
    constexpr int kRecords = 30000;
    const std::wstring logPath = folder + L"\\single.log";
    Touch(logPath + L".on");
    LogUtils::StartLog(logPath.c_str());
    // The same bytes as a record line: 33-column header, text, CRLF.
    char text[128];
    const int textLength =
        std::snprintf(text, sizeof(text), "[I][  32][log_bench] proc 0 seq %d %s", kRecords / 2,
                      "abcdefghijklmnopqrstuvwxyz0123456789");
    const std::string line = std::string(33, 'h') + std::string(text, textLength) + "\r\n";

    double baselineBest = 1e30, loggerBest = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        baselineBest =
            std::min(baselineBest, BaselineSeconds(folder + L"\\baseline.log", line, kRecords));
        loggerBest = std::min(loggerBest, LoggerSeconds(kRecords));
    }
    LogUtils::EndLog();
    LogUtils::GetLogger()->Reset();  // closes and deletes the file
    DeleteFileW((logPath + L".on").c_str());
    const double baselineRate = kRecords / baselineBest;
    const double loggerRate = kRecords / loggerBest;
    std::printf(
        "enabled records: %.0f /s; baseline (mutex try, one _write of %zu bytes, release): "
        "%.0f /s; ratio %.2f (target >= 0.7)\n",
        loggerRate, line.size(), baselineRate, loggerRate / baselineRate);
}

// Part 3 ---------------------------------------------------------------------

int RunChild(const wchar_t* logPath, long id, long count, const wchar_t* eventName) {
    LogUtils::StartLog(logPath);
    UniqueHandle go(OpenEventW(SYNCHRONIZE, FALSE, eventName));
    if (!go || WaitForSingleObject(go.get(), 60000) != WAIT_OBJECT_0) return 3;
    for (long i = 0; i < count; ++i)
        EXTRUN_LOG(1, "[I]", kSource, kSourceLine,
                   L"proc " << id << L" seq " << i << L" " << kPadding);
    LogUtils::EndLog();
    return 0;
}

struct Tally {
    long records = 0;  // record lines in their process's order
    long banners = 0;
    long broken = 0;  // anything else
};

Tally CheckFile(const std::wstring& path, long count) {
    Tally tally;
    std::vector<long> next(kProcesses, 0);
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    std::string bytes;
    char chunk[1 << 16];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    const std::string padding = " abcdefghijklmnopqrstuvwxyz0123456789";
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = bytes.substr(start, end - start);
        const bool header = line.size() >= 33 && line[2] == '-' && line[5] == ' ' &&
                            line[8] == ':' && line[14] == '.' && line[19] == '[';
        const size_t body = line.find("][log_bench] proc ");
        long id = -1, seq = -1;
        int consumed = 0;
        if (header && body != std::string::npos &&
            std::sscanf(line.c_str() + body, "][log_bench] proc %ld seq %ld%n", &id, &seq,
                        &consumed) == 2 &&
            id >= 0 && id < kProcesses && seq == next[id] &&
            line.substr(body + consumed) == padding) {
            ++next[id];
            ++tally.records;
        } else if (header && (line.find("]-------log start") != std::string::npos ||
                              line.find("]-------log end") != std::string::npos)) {
            ++tally.banners;
        } else {
            ++tally.broken;
        }
    }
    if (start != bytes.size()) ++tally.broken;
    (void)count;
    return tally;
}

void MeasureProcesses(const std::wstring& folder, long count) {
    const std::wstring logPath = folder + L"\\shared.log";
    Touch(logPath + L".on");
    const std::wstring eventName = L"log-bench-go-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);

    std::vector<UniqueHandle> children;
    for (int id = 0; id < kProcesses; ++id) {
        std::wstring command = L"\"" + std::wstring(self) + L"\" child \"" + logPath + L"\" " +
                               std::to_wstring(id) + L" " + std::to_wstring(count) + L" " +
                               eventName;
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &si, &pi)) {
            std::printf("cannot start a writer process (%lu)\n", GetLastError());
            return;
        }
        CloseHandle(pi.hThread);
        children.emplace_back(pi.hProcess);
    }
    Sleep(1000);  // let every child reach its wait
    const double t0 = Now();
    SetEvent(go.get());
    bool allDone = true;
    for (const UniqueHandle& child : children) {
        DWORD code = 1;
        allDone = WaitForSingleObject(child.get(), 600000) == WAIT_OBJECT_0 &&
                  GetExitCodeProcess(child.get(), &code) && code == 0 && allDone;
    }
    const double seconds = Now() - t0;
    const Tally tally = CheckFile(logPath, count);
    const long expected = count * kProcesses;
    std::printf(
        "%d processes x %ld records: %.2f s, %.0f records/s; in order %ld of %ld, "
        "lost %ld, broken lines %ld, banners %ld (expected %d)%s\n",
        kProcesses, count, seconds, expected / seconds, tally.records, expected,
        expected - tally.records, tally.broken, tally.banners, 2 * kProcesses,
        allDone ? "" : "; a writer failed");
    DeleteFileW(logPath.c_str());
    DeleteFileW((logPath + L".on").c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 6 && wcscmp(argv[1], L"child") == 0)
        return RunChild(argv[2], wcstol(argv[3], nullptr, 10), wcstol(argv[4], nullptr, 10),
                        argv[5]);
    const long count = argc >= 2 ? wcstol(argv[1], nullptr, 10) : 100000;
    const std::wstring folder = MakeWorkFolder();
    MeasureDisabledStatement();
    MeasureEnabledRecords(folder);
    MeasureProcesses(folder, count > 0 ? count : 100000);
    RemoveDirectoryW(folder.c_str());
    return 0;
}
