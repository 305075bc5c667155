#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <thread>

#include "common/handles.h"
#include "log/log_appender.h"
#include "log/log_record.h"
#include "log/logger_impl.h"
#include "test_support.h"

namespace {

using LogUtils::LogAppender;
using LogUtils::LoggerImpl;
using LogUtils::MakeLogRecord;
using testsupport::Exists;
using testsupport::TempDir;
using Texts = std::vector<std::string>;

std::string Ids(DWORD processId = GetCurrentProcessId(), DWORD threadId = GetCurrentThreadId()) {
    char ids[32];
    std::snprintf(ids, sizeof(ids), "[%5lu][%5lu]", processId, threadId);
    return ids;
}

// Texts (and process ids) of the log's lines from byte `skip` on; none for no file.
// Fails the test on a missing final CRLF or a header not "MM-DD hh:mm:ss.mmm [%5d][%5d]".
Texts ReadTexts(const std::wstring& path, size_t skip = 0,
                std::vector<DWORD>* processIds = nullptr) {
    static const std::regex kLine(
        R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\[ *(\d+)\]\[ *(\d+)\])(.*))");
    Texts texts;
    std::string bytes;
    if (!testsupport::ReadBytes(path, &bytes) || bytes.size() <= skip) return texts;
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n") << "the file ends inside a line";
    for (const std::string& raw : testsupport::SplitLines(bytes.substr(skip))) {
        std::smatch m;
        const bool ok =
            std::regex_match(raw, m, kLine) && m[1] == Ids(std::stoul(m[2]), std::stoul(m[3]));
        EXPECT_TRUE(ok) << "not a log line: " << raw;
        texts.push_back(ok ? m[4].str() : raw);
        if (processIds) processIds->push_back(ok ? std::stoul(m[2]) : 0);
    }
    return texts;
}

// What the logging statement does for a level-1 record holding just `text`.
void LogText(LogUtils::Logger& logger, const std::string& text) {
    if (!logger.IsEnabled(1)) return;
    LogUtils::LogRecord record;
    record << std::wstring(text.begin(), text.end());
    logger.Log(record);
}

// Size of the untagged line this thread writes for `text`.
int32_t LineSize(const std::string& text) {
    return static_cast<int32_t>(19 + Ids().size() + text.size() + 2);
}

UniqueHandle StartWriter(const std::wstring& path, int id, int count, const std::wstring& event) {
    std::wstring command = L"\"" + testsupport::BinPath(L"log_writer.exe") + L"\" \"" + path +
                           L"\" " + std::to_wstring(id) + L" " + std::to_wstring(count) + L" " +
                           event;
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return UniqueHandle();
    CloseHandle(pi.hThread);
    return UniqueHandle(pi.hProcess);
}

TEST(LogRecord, StartsWithTheTagAndTheLineAndSourceName) {
    const std::string longName = "c:\\" + std::string(300, 'n') + ".cpp";
    const struct {
        const char* tag;
        const char* file;
        uint32_t line;
        std::wstring expected;
    } cases[] = {
        {"[I]", "d:\\x\\runner.cpp", 37, L"[I][  37][runner] "},
        {"<T> ", "runner.cpp", 12345, L"<T> [12345] "},    // no backslash
        {"", "c:\\a.b\\runner", 37, L"[  37] "},           // last dot in a folder name
        {"", "c:\\x\\r.cpp", 4294967295u, L"[  -1][r] "},  // printed as a signed number
        {"", longName.c_str(), 7, L"[   7][" + std::wstring(90, L'n') + L"] "},  // cut to 99
        {nullptr, "c:\\x\\r.cpp", 1, L"(null)[   1][r] "},
        {"[I]", nullptr, 1, L"[I][   1] "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeLogRecord(c.tag, c.file, c.line).str(), c.expected) << c.line;
}

int messagesBuilt = 0;
const wchar_t* BuildMessage() { return ++messagesBuilt, L"built"; }

TEST(LoggingStatement, BuildsNothingForADisabledLevelAndNeedsNoStart) {
    // This process never starts its logger: only level 3 passes, to no appender.
    EXTRUN_LOG(2, "[I]", "c:\\x\\r.cpp", 1, BuildMessage());
    EXPECT_EQ(messagesBuilt, 0);
    EXTRUN_LOG(3, "[I]", "c:\\x\\r.cpp", 1, BuildMessage());
    EXPECT_EQ(messagesBuilt, 1);
}

TEST(LogAppender, MutexNameKeepsOnlyAsciiLettersAndDigitsInUpperCase) {
    EXPECT_EQ(LogUtils::MutexNameForPath(L"C:\\D\\Log\\extrun.log"), WString(L"CDLOGEXTRUNLOG"));
    EXPECT_EQ(LogUtils::MutexNameForPath(L"c:\\\u00dcber 1\\a-b_c.Log"), WString(L"CBER1ABCLOG"));
}

TEST(LogAppender, LineIsLocalStampIdsTagTextAndCrLf) {
    TempDir dir(L"log");
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", "text"},
        {L"T", "[T]text"},
        {std::wstring(300, L'x'), "[" + std::string(99 - 19 - Ids().size() - 2, 'x') + "]text"},
    };
    auto now = [] {
        SYSTEMTIME t;
        GetLocalTime(&t);
        char stamp[32];
        std::snprintf(stamp, sizeof(stamp), "%02d-%02d %02d:%02d:%02d.%03d", t.wMonth, t.wDay,
                      t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        return std::string(stamp);
    };
    for (const auto& [tag, expected] : cases) {
        const std::wstring path = dir / (std::to_wstring(tag.size()) + L".log");
        LogAppender appender(path.c_str(), tag.c_str(), 0);
        const std::string before = now();
        appender.Write(L"text", 0);
        const std::string after = now();
        std::string bytes;
        ASSERT_TRUE(testsupport::ReadBytes(path, &bytes) && bytes.size() > 18);
        EXPECT_EQ(bytes.substr(18), " " + Ids() + expected + "\r\n");
        const std::string stamp = bytes.substr(0, 18);
        EXPECT_TRUE(before <= stamp && stamp <= after) << before << " " << stamp << " " << after;
    }
}

TEST(LogAppender, TextsCrossTheAnsiCodePageBothWays) {
    if (GetACP() != 1252) GTEST_SKIP() << "expects code page 1252, have " << GetACP();
    EXPECT_EQ(MakeLogRecord("\xE9t\xE9\x80", "", 1).str(), L"\u00e9t\u00e9\u20ac[   1] ");
    TempDir dir(L"log");
    LogAppender appender((dir / L"a.log").c_str(), L"", 0);
    appender.Write(L"caf\u00e9 \u20ac \u4e2d", 0);
    EXPECT_EQ(ReadTexts(dir / L"a.log"), Texts{"caf\xe9 \x80 ?"});
}

TEST(LogAppender, FreshStartDeletesTheOldFileOnlyWhenNoOtherAppenderHasIt) {
    TempDir dir(L"log");
    const std::wstring shared = dir / L"shared.log", alone = dir / L"alone.log";
    ASSERT_TRUE(testsupport::WriteBytes(shared, "") && testsupport::WriteBytes(alone, ""));
    LogAppender first(shared.c_str(), L"", 0), second(shared.c_str(), L"", 1);
    LogAppender fresh(alone.c_str(), L"", 1);
    EXPECT_TRUE(Exists(shared));
    EXPECT_FALSE(Exists(alone));
}

TEST(LogAppender, FailedOpenCountsEveryLostLineAndIsRetriedOnlyAfterReset) {
    TempDir dir(L"log");
    const std::wstring folder = dir / L"missing", path = folder + L"\\a.log";
    LogAppender appender(path.c_str(), L"", 0);
    EXPECT_EQ(appender.Write(L"lost", 0), -2);  // -1 for the open, then -1 a line
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(appender.Write(L"lost too", 1), -3);
    EXPECT_FALSE(appender.Reset());
    appender.Write(L"found", 0);
    EXPECT_EQ(ReadTexts(path), Texts{"found"});
}

TEST(LogAppender, WritesWithoutTheCrossProcessLockWhenTheMutexCannotBeMade) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    UniqueHandle squatter(
        CreateEventW(nullptr, TRUE, FALSE, LogUtils::MutexNameForPath(path.c_str()).c_str()));
    LogAppender appender(path.c_str(), L"", 0);
    appender.Write(L"two", 0);
    EXPECT_EQ(ReadTexts(path), Texts{"two"});
}

// The lowest level the logger lets through; 4 when even level 3 is held back.
int Threshold(LogUtils::Logger& logger) {
    int level = 0;
    while (level <= 3 && !logger.IsEnabled(level)) ++level;
    return level;
}

// A logger of its own on a fresh folder; reset at the end to let the file go.
class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { logger.Reset(); }
    void Switch(bool on) {
        on ? testsupport::WriteBytes(path + L".on", "") : DeleteFileW((path + L".on").c_str());
    }
    void Start(int32_t defaultOn = 0, int32_t freshStart = 0, int32_t maxBytes = 0x7FFFFFFF) {
        logger.Start(path.c_str(), L"", defaultOn, freshStart, maxBytes);
    }

    TempDir dir{L"log"};
    std::wstring path = dir / L"extrun.log";
    LoggerImpl logger;
};

TEST_F(LoggerTest, SilentWithoutSwitchFileElseFramedByStartAndEnd) {
    Start();
    EXPECT_EQ(Threshold(logger), 3);
    logger.End();
    EXPECT_FALSE(Exists(path));

    Switch(true);
    Start();
    EXPECT_EQ(Threshold(logger), 0);
    EXPECT_FALSE(Exists(path)) << "Start opens nothing";
    LogText(logger, "a");
    logger.End();
    EXPECT_FALSE(logger.IsEnabled(1));
    EXPECT_EQ(ReadTexts(path), (Texts{"-------log start", "a", "-------log end"}));
}

TEST_F(LoggerTest, SwitchFileIsReadAtStartAndReloadAndPinsLevelsWithDefaultOn) {
    Start(1);
    Switch(true);
    EXPECT_EQ(Threshold(logger), 1);
    logger.ProcessCommand(L"--reload_log_switch");
    logger.SetLevel(2);
    EXPECT_EQ(Threshold(logger), 2) << "not pinned: no switch file at Start";

    Start(1);
    logger.SetLevel(3);
    logger.ProcessCommand(L"--set_log_lev=2");
    EXPECT_EQ(Threshold(logger), 0);
    Switch(false);
    logger.ProcessCommand(L"--reload_log_switch");
    logger.SetLevel(1);
    EXPECT_EQ(Threshold(logger), 3);
    Switch(true);
    logger.ProcessCommand(L"--reload_log_switch");
    logger.End();
    EXPECT_EQ(ReadTexts(path),
              (Texts{"-------log start", "-------log reload switch", "-------log lev change",
                     "-------log start", "-------log reload switch", "-------log end"}));
}

TEST_F(LoggerTest, SetLevelWritesTheBannerOfItsTable) {
    const struct {
        int32_t from, to;
        const char* banner;  // null: none
    } cases[] = {
        {0, 3, "-------log off"},
        {1, 3, "-------log off"},
        {0, 1, "-------log lev change"},
        {1, 4, "-------log lev change"},
        {2, 0, "-------log lev change"},
        {3, 1, "-------log lev change"},
        {3, 2, nullptr},
        {2, 3, nullptr},
    };
    Start();
    for (const auto& c : cases) {
        logger.SetLevel(c.from);
        const size_t before = ReadTexts(path).size();
        logger.SetLevel(c.to);
        const Texts after = ReadTexts(path);
        EXPECT_EQ(Texts(after.begin() + static_cast<long>(before), after.end()),
                  c.banner ? Texts{c.banner} : Texts{})
            << c.from << " -> " << c.to;
        EXPECT_EQ(Threshold(logger), std::min(c.to, 4));
    }
}

TEST_F(LoggerTest, ProcessCommandActsOnTheFirstSwitchInTableOrder) {
    const std::pair<const wchar_t*, int> cases[] = {
        {L"x --reload_log_switch --set_log_lev=1", 1},
        {L"--SET_LOG_LEV=2", 2},
        {L"--set_log_lev=3 --set_log_lev=0", 0},
        {L"prog.exe --Reload_Log_Switch", 0},
        {L"--set_log_lev=5", 2},
        {nullptr, 2},
    };
    Switch(true);
    Start();
    for (const auto& [text, expected] : cases) {
        logger.SetLevel(2);
        logger.ProcessCommand(text);
        EXPECT_EQ(Threshold(logger), expected) << (text ? testsupport::ToUtf8(text) : "null");
    }
}

TEST_F(LoggerTest, EndWaitsForTheMutexAndAnAbandonedMutexCountsAsAcquired) {
    Switch(true);
    Start();
    UniqueHandle mutex(
        CreateMutexW(nullptr, FALSE, LogUtils::MutexNameForPath(path.c_str()).c_str()));
    UniqueHandle owned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread owner([&] {  // ends owning the mutex, so leaves it abandoned
        WaitForSingleObject(mutex.get(), 0);
        SetEvent(owned.get());
        Sleep(300);
    });
    EXPECT_EQ(WaitForSingleObject(owned.get(), 10000), WAIT_OBJECT_0);
    LogText(logger, "a");
    logger.End();
    EXPECT_EQ(ReadTexts(path), (Texts{"-------log start", "a", "-------log end"}));
    owner.join();
    std::thread([&] { WaitForSingleObject(mutex.get(), 0); }).join();
    logger.SetLevel(1);  // "lev change" does not wait
    EXPECT_EQ(ReadTexts(path).size(), 4u);
}

TEST(Logger, FullLogStartsOverOrWithFreshStartFallsSilent) {
    const struct {
        int32_t freshStart, maxBytes;  // reaching maxBytes exactly is not over it
        Texts expected;
    } cases[] = {
        {0,
         LineSize("-------log start") + LineSize("r1") + LineSize("r2"),
         {"-------log full reset", "r4"}},
        {1,
         LineSize("-------log start") + LineSize("r1"),
         {"-------log start", "r1", "r2", "-------log full"}},
    };
    for (const auto& c : cases) {
        TempDir dir(L"log");
        const std::wstring path = dir / L"extrun.log";
        ASSERT_TRUE(testsupport::WriteBytes(path + L".on", ""));
        LoggerImpl logger;
        logger.Start(path.c_str(), L"", 0, c.freshStart, c.maxBytes);
        for (const char* text : {"r1", "r2", "r3", "r4"}) LogText(logger, text);
        EXPECT_EQ(ReadTexts(path), c.expected) << "freshStart " << c.freshStart;
        EXPECT_EQ(logger.IsEnabled(1), !c.freshStart);
        logger.Reset();
    }
}

TEST_F(LoggerTest, ResetDeletesTheFileDropsWhatIsQueuedAndWritesItsBanner) {
    Switch(true);
    Start();  // the start banner waits in the queue for the first line
    logger.Reset();
    LogText(logger, "r1");
    EXPECT_EQ(ReadTexts(path), (Texts{"-------log reset", "r1"}));
}

TEST_F(LoggerTest, FullLogHeldOpenByAnotherProcessSwitchesTheLoggerOff) {
    ASSERT_TRUE(testsupport::WriteBytes(path, std::string(98, 'o') + "\r\n"));
    Switch(true);
    Start(0, 0, 200);
    const std::wstring event = L"log-held-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    UniqueHandle holder = StartWriter(path, 0, -1, event);
    ASSERT_TRUE(holder) << "the holder did not start: error " << GetLastError();
    const HANDLE heldOrGone[] = {held.get(), holder.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, heldOrGone, FALSE, 30000), WAIT_OBJECT_0)
        << "the holder ended or never held the file";

    LogText(logger, std::string(100, 'r'));
    EXPECT_FALSE(logger.IsEnabled(1));
    logger.End();  // off: writes nothing, the failure line stays queued
    TerminateProcess(holder.get(), 0);
    ASSERT_EQ(WaitForSingleObject(holder.get(), 30000), WAIT_OBJECT_0);
    logger.SetLevel(0);
    Texts texts = ReadTexts(path, 100);
    const std::string failed = "-------log full reset failed. 32:";
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_GT(texts[2].size(), failed.size()) << "the system's message follows the code";
    texts[2].resize(failed.size());
    EXPECT_EQ(texts,
              (Texts{"-------log start", std::string(100, 'r'), failed, "-------log lev change"}));
}

TEST(LogProcesses, ProcessesSharingOneFileWriteWholeLinesInTheirOwnOrder) {
    constexpr int kWriters = 4, kRecordsEach = 1500;
    TempDir dir(L"log");
    const std::wstring path = dir / L"extrun.log";
    ASSERT_TRUE(testsupport::WriteBytes(path + L".on", ""));
    const std::wstring event = L"log-go-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    std::vector<UniqueHandle> writers;
    for (int id = 0; id < kWriters; ++id) {
        writers.push_back(StartWriter(path, id, kRecordsEach, event));
        ASSERT_TRUE(writers.back()) << "writer " << id << " did not start: error "
                                    << GetLastError();
    }
    SetEvent(go.get());
    for (const UniqueHandle& writer : writers) {
        ASSERT_EQ(WaitForSingleObject(writer.get(), 60000), WAIT_OBJECT_0)
            << "a writer still runs after a minute";
        DWORD code = 0;
        GetExitCodeProcess(writer.get(), &code);
        ASSERT_EQ(code, 0u) << "a writer ended early (3: it never saw the start event)";
    }

    std::vector<DWORD> processIds;
    const Texts texts = ReadTexts(path, 0, &processIds);
    std::map<DWORD, Texts> byProcess;
    for (size_t i = 0; i < texts.size(); ++i) byProcess[processIds[i]].push_back(texts[i]);
    ASSERT_EQ(byProcess.size(), static_cast<size_t>(kWriters));
    for (const auto& [processId, lines] : byProcess) {
        ASSERT_EQ(lines.size(), static_cast<size_t>(kRecordsEach + 2)) << "process " << processId;
        EXPECT_EQ(lines.front(), "-------log start");
        EXPECT_EQ(lines.back(), "-------log end");
        int id = -1;
        std::sscanf(lines[1].c_str(), "[I][  32][log_writer] proc %d", &id);
        for (int n = 0; n < kRecordsEach; ++n)
            ASSERT_EQ(lines[n + 1], "[I][  32][log_writer] proc " + std::to_string(id) + " seq " +
                                        std::to_string(n) +
                                        " abcdefghijklmnopqrstuvwxyz0123456789");
    }
}

}  // namespace
