// Figures for the shared log, each against a baseline from the same run:
//   1. a disabled logging statement vs one critical-section enter and leave;
//   2. enabled records/s in one process vs a loop doing only each line's work
//      (file mutex without waiting, one _write of a same-sized line, release);
//   3. four log_writer processes writing N records each to one file: records/s,
//      and lines lost or broken (must be 0). Usage: log_bench [N], N=100000
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "log/log_appender.h"
#include "log/log_record.h"
#include "test_support.h"

namespace {

constexpr int kRounds = 3;
constexpr char kPadding[] = "abcdefghijklmnopqrstuvwxyz0123456789";

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Best of kRounds for each of two loops run in turn.
template <typename Baseline, typename Measured>
std::pair<double, double> BestOf(Baseline baseline, Measured measured) {
    double best[2] = {1e30, 1e30};
    for (int round = 0; round < kRounds; ++round) {
        double t0 = Now();
        baseline();
        double t1 = Now();
        measured();
        best[0] = std::min(best[0], t1 - t0);
        best[1] = std::min(best[1], Now() - t1);
    }
    return {best[0], best[1]};
}

void MeasureDisabledStatement() {
    constexpr int kStatements = 20000000;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    const auto [lock, statement] = BestOf(
        [&] {
            for (int i = 0; i < kStatements; ++i) {
                EnterCriticalSection(&section);
                LeaveCriticalSection(&section);
            }
        },
        [] {
            for (int i = 0; i < kStatements; ++i)
                EXTRUN_LOG(1, "[I]", "c:\\extrun\\log_bench.cpp", 32, L"never built " << i);
        });
    DeleteCriticalSection(&section);
    std::printf(
        "disabled statement: %.1f ns; critical section enter+leave: %.1f ns; "
        "ratio %.2f (target <= 2)\n",
        statement * 1e9 / kStatements, lock * 1e9 / kStatements, statement / lock);
}

void MeasureEnabledRecords(const testsupport::TempDir& dir) {
    constexpr int kRecords = 30000;
    const std::wstring logPath = dir / L"single.log", baselinePath = dir / L"baseline.log";
    testsupport::WriteBytes(logPath + L".on", "");
    LogUtils::StartLog(logPath.c_str());
    // The bytes of a record line: 33-column header, text, CRLF.
    const std::string line =
        std::string(33, 'h') + "[I][  32][log_bench] proc 0 seq 15000 " + kPadding + "\r\n";
    UniqueHandle mutex(
        CreateMutexW(nullptr, FALSE, LogUtils::MutexNameForPath(baselinePath.c_str()).c_str()));
    int fd = -1;
    _wsopen_s(&fd, baselinePath.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _SH_DENYNO,
              _S_IREAD | _S_IWRITE);
    const auto [baseline, logger] = BestOf(
        [&] {
            for (int i = 0; i < kRecords; ++i) {
                const DWORD wait = WaitForSingleObject(mutex.get(), 0);
                if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) continue;
                _write(fd, line.data(), static_cast<unsigned>(line.size()));
                ReleaseMutex(mutex.get());
            }
        },
        [] {
            for (int i = 0; i < kRecords; ++i)
                EXTRUN_LOG(1, "[I]", "c:\\extrun\\log_bench.cpp", 32,
                           L"proc 0 seq " << i << L" " << kPadding);
        });
    _close(fd);
    LogUtils::EndLog();
    LogUtils::GetLogger()->Reset();  // closes the file so the folder can go
    std::printf(
        "enabled records: %.0f /s; baseline (mutex try, one _write of %zu bytes, "
        "release): %.0f /s; ratio %.2f (target >= 0.7)\n",
        kRecords / logger, line.size(), kRecords / baseline, baseline / logger);
}

void MeasureProcesses(const testsupport::TempDir& dir, long count) {
    constexpr int kProcesses = 4;
    const std::wstring logPath = dir / L"shared.log";
    testsupport::WriteBytes(logPath + L".on", "");
    const std::wstring event = L"log-bench-go-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    std::vector<std::thread> writers;
    std::atomic<bool> allDone{true};
    for (int id = 0; id < kProcesses; ++id) {
        writers.emplace_back([&, id] {
            const auto result = testsupport::RunProcess(
                L"\"" + testsupport::BinPath(L"log_writer.exe") + L"\" \"" + logPath + L"\" " +
                    std::to_wstring(id) + L" " + std::to_wstring(count) + L" " + event,
                L"", 600000);
            if (!result.started || result.exitCode != 0) allDone = false;
        });
    }
    Sleep(1000);  // lets every writer reach its wait
    const double t0 = Now();
    SetEvent(go.get());
    for (std::thread& writer : writers) writer.join();
    const double seconds = Now() - t0;

    std::string bytes;
    testsupport::ReadBytes(logPath, &bytes);
    long next[kProcesses] = {}, inOrder = 0, banners = 0, broken = 0;
    for (const std::string& text : testsupport::SplitLines(bytes)) {
        const bool header = text.size() > 33 && text[2] == '-' && text[8] == ':' &&
                            text[14] == '.' && text[19] == '[' && text[32] == ']';
        long id = -1, seq = -1;
        int end = 0;
        if (header &&
            std::sscanf(text.c_str() + 33, "[I][  32][log_writer] proc %ld seq %ld %n", &id, &seq,
                        &end) == 2 &&
            id >= 0 && id < kProcesses && seq == next[id] && text.substr(33 + end) == kPadding) {
            ++next[id];
            ++inOrder;
        } else if (header && text.compare(33, 11, "-------log ") == 0) {
            ++banners;
        } else {
            ++broken;
        }
    }
    const long expected = count * kProcesses;
    std::printf(
        "%d processes x %ld records: %.2f s, %.0f records/s; lost %ld, broken lines %ld, "
        "banners %ld of %d%s\n",
        kProcesses, count, seconds, expected / seconds, expected - inOrder, broken, banners,
        2 * kProcesses, allDone ? "" : "; a writer failed");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const long count = argc >= 2 ? wcstol(argv[1], nullptr, 10) : 100000;
    const testsupport::TempDir dir(L"log-bench");
    MeasureDisabledStatement();
    MeasureEnabledRecords(dir);
    MeasureProcesses(dir, count > 0 ? count : 100000);
    return 0;
}
