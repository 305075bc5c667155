#include <windows.h>

#include <gtest/gtest.h>

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
using namespace testsupport;
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
    const std::string bytes = ReadText(path);
    if (bytes.size() <= skip) return texts;
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n") << "the file ends inside a line";
    for (const std::string& raw : SplitLines(bytes.substr(skip))) {
        std::smatch m;
        const bool ok =
            std::regex_match(raw, m, kLine) && m[1] == Ids(std::stoul(m[2]), std::stoul(m[3]));
        EXPECT_TRUE(ok) << "not a log line: " << raw;
        texts.push_back(ok ? m[4].str() : raw);
        if (processIds) processIds->push_back(ok ? std::stoul(m[2]) : 0);
    }
    return texts;
}

// Size of the untagged line this thread writes for `text`.
int32_t LineSize(const std::string& text) {
    return static_cast<int32_t>(19 + Ids().size() + text.size() + 2);
}

TEST(LogAppender, LineIsLocalStampIdsTagTextAndCrLf) {
    TempDir dir(L"log");
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", "text"},
        {L"T", "[T]text"},
        {L"y" + std::wstring(78 - Ids().size(), L'x'),  // one unit more than fits
         "[y" + std::string(99 - 19 - Ids().size() - 3, 'x') + "]text"},
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
        const std::string bytes = ReadText(path);
        ASSERT_GT(bytes.size(), 18u);
        EXPECT_EQ(bytes.substr(18), " " + Ids() + expected + "\r\n");
        const std::string stamp = bytes.substr(0, 18);
        EXPECT_TRUE(before <= stamp && stamp <= after) << before << " " << stamp << " " << after;
    }
    EXPECT_TRUE(DeleteFileW((dir / L"0.log").c_str()));  // the file went with its appender
}

// Run under code page 1252, 932 and 65001 (see CMakeLists.txt). A tag is widened whole; a narrow
// text inserted into a record byte by byte, so a lead byte alone is no character there (U+FFFF).
TEST(LogAppender, TextsCrossTheAnsiCodePageBothWays) {
    const std::wstring kHan(100, L'\u4e2d');
    const struct {
        UINT codePage;
        const char *tag, *text;
        char byte;
        const wchar_t *record, *written;
        const char* read;
    } cases[] = {
        {1252, "\xE9t\xE9\x80", "\xE9\x80", '\x80', L"\u00e9t\u00e9\u20ac[   1] \u00e9\u20ac\u20ac",
         L"caf\u00e9 \u20ac \u4e2d", "caf\xe9 \x80 ?"},
        {932, "\x82\xA0", "a\x81", '\x82', L"\u3042[   1] a\uffff\uffff", L"\u3042 \u4e2d",
         "\x82\xA0 \x92\x86"},
        // A line gets two bytes a unit, where it needs three: it is written empty.
        {65001, "\xE0\xA4\x85", "a\xE0", '\xE0', L"\u0905[   1] a\uffff\uffff", kHan.c_str(), ""},
    };
    for (const auto& c : cases) {
        if (GetACP() != c.codePage) continue;
        const LCID locale = GetThreadLocale();  // the thread's own code page is not the log's
        SetThreadLocale(c.codePage == 932 ? 0x0409 : 0x0411);
        LogUtils::LogRecord record = LogUtils::MakeLogRecord(c.tag, "", 1);
        EXPECT_EQ(LogUtils::MakeLogRecord(std::string(100, 't') + c.tag, "", 1).str(),
                  std::wstring(100, L't') + record.str());  // a tag past its stack buffer
        record << c.text << c.byte;
        EXPECT_EQ(record.str(), c.record);
        TempDir dir(L"log");
        LogAppender appender((dir / L"a.log").c_str(), L"", 0);
        appender.Write(c.written, 0);
        SetThreadLocale(locale);
        EXPECT_EQ(*c.read ? ReadTexts(dir / L"a.log") : Texts{ReadText(dir / L"a.log")},
                  Texts{*c.read ? c.read : "\r\n"});
        return;
    }
    GTEST_SKIP() << "no case for code page " << GetACP();
}

TEST(LogAppender, FreshStartDeletesTheOldFileOnlyWhenNoOtherAppenderHasItAndThreadsShareOne) {
    TempDir dir(L"log");
    const std::wstring shared = dir / L"shared.log", alone = dir / L"alone.log";
    ASSERT_TRUE(WriteBytes(shared, "") && WriteBytes(alone, ""));
    LogAppender first(shared.c_str(), L"", 0), second(shared.c_str(), L"", 1);
    LogAppender fresh(alone.c_str(), L"", 1);
    EXPECT_TRUE(Exists(shared) && !Exists(alone));
    // The mutex taken to delete is given back: another thread has it at once.
    UniqueHandle mutex(
        OpenMutexW(SYNCHRONIZE, FALSE, LogUtils::MutexNameForPath(alone.c_str()).c_str()));
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0); }).join();
    const auto write = [&] {
        for (int i = 0; i < 20000; ++i) fresh.Write(L"line", 1);
    };
    fresh.Write(L"opened", 1);  // opened first: the first open takes no lock
    std::thread other(write);
    write();
    other.join();
    EXPECT_EQ(ReadTexts(alone).size(), 40001u);
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

// The lock is a mutex named after the path; another object of that name
// leaves the appender without it.
TEST(LogAppender, TheLockIsNamedByThePathsAsciiLettersAndDigitsAndIsDoneWithoutWhenTaken) {
    EXPECT_EQ(LogUtils::MutexNameForPath(L"C:\\D\\Log\\extrun.log"), WString(L"CDLOGEXTRUNLOG"));
    EXPECT_EQ(LogUtils::MutexNameForPath(L"c:\\\u00dcber 1\\a-b_c.Log"), WString(L"CBER1ABCLOG"));
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    UniqueHandle squatter(
        CreateEventW(nullptr, TRUE, FALSE, LogUtils::MutexNameForPath(path.c_str()).c_str()));
    LogAppender appender(path.c_str(), L"", 0);
    appender.Write(L"two", 0);
    EXPECT_EQ(ReadTexts(path), Texts{"two"});
}

// A logger of its own on a fresh folder, the switch file beside its log.
// Every step returns the object, so a case reads as one chain of steps.
struct TestLogger {
    // Lets the file go before the folder is removed.
    ~TestLogger() { logger.Reset(); }
    TestLogger& On() { return WriteBytes(path + L".on", ""), *this; }
    TestLogger& Off() { return DeleteFileW((path + L".on").c_str()), *this; }
    TestLogger& Start(int32_t defaultOn = 0, int32_t freshStart = 0,
                      int32_t maxBytes = 0x7FFFFFFF) {
        logger.Start(path.c_str(), L"", defaultOn, freshStart, maxBytes);
        return *this;
    }
    // What the logging statement does for a record of `level` holding just `text`.
    TestLogger& Log(int32_t level, const std::string& text) {
        if (!logger.IsEnabled(level)) return *this;
        LogUtils::LogRecord record;
        record << std::wstring(text.begin(), text.end());
        logger.Log(record);
        return *this;
    }
    TestLogger& Level(int32_t level) { return logger.SetLevel(level), *this; }
    TestLogger& Command(const wchar_t* text) { return logger.ProcessCommand(text), *this; }
    TestLogger& Reload() { return Command(L"--reload_log_switch"); }
    TestLogger& Reset() { return logger.Reset(), *this; }
    TestLogger& End() { return logger.End(), *this; }

    TempDir dir{L"log"};
    std::wstring path = dir / L"extrun.log";
    LoggerImpl logger;
};

TEST(Logger, WritesWhatTheSwitchFileTheLevelAndTheSizeLimitLetThrough) {
    const struct {
        const char* what;
        void (*steps)(TestLogger&);
        Texts expected;
    } cases[] = {
        {"no switch file: nothing", [](TestLogger& t) { t.Start().Log(1, "a").End(); }, {}},
        {"switch file: every level, between start and end",
         [](TestLogger& t) { t.On().Start().Log(0, "a").End().Log(1, "after the end"); },
         {"-------log start", "a", "-------log end"}},
        {"defaultOn: level 1 up; a switch file made later counts from a reload, unpinned",
         [](TestLogger& t) {
             t.Start(1).Log(0, "below 1").Log(1, "1").On().Log(0, "not reloaded");
             t.Command(L"prog.exe --Reload_Log_Switch").Log(0, "0").Level(2).Log(1, "below 2");
         },
         {"-------log start", "1", "-------log reload switch", "0", "-------log lev change"}},
        {"commands: a level switch in any letter case, before a reload, the first in table order",
         [](TestLogger& t) {
             t.On().Start().Command(L"x --reload_log_switch --set_log_lev=3");
             t.Command(L"--SET_LOG_LEV=1").Log(0, "below 1").Log(1, "1");
             t.Command(L"--set_log_lev=3 --set_log_lev=0").Command(L"--set_log_lev=5");
             t.Command(nullptr).Log(0, "0");
         },
         {"-------log start", "-------log off", "-------log lev change", "1",
          "-------log lev change", "0"}},
        {"switch file and defaultOn: SetLevel and commands do nothing, a reload still acts",
         [](TestLogger& t) {
             t.On().Start(1).Level(3).Command(L"--set_log_lev=2").Log(0, "0");
             t.Off().Reload().Level(1).Log(1, "off").On().Reload().End();
         },
         {"-------log start", "0", "-------log reload switch", "-------log end"}},
        {"SetLevel: a banner when level 1 changes sides, \"off\" for 3 from 1 or below; End at 1",
         [](TestLogger& t) {
             t.Start().Level(2).Level(3).Level(1).Level(4).Level(1).Level(3).Level(1).End();
         },
         {"-------log lev change", "-------log lev change", "-------log lev change",
          "-------log off", "-------log lev change", "-------log end"}},
        // The reload's banner waits in the queue for the next line.
        {"Reset: deletes the file, drops the queue, writes its banner",
         [](TestLogger& t) { t.On().Start().Log(1, "written").Reload().Reset().Log(1, "r1"); },
         {"-------log reset", "r1"}},
        {"past the limit (reaching it is not past it), the log starts over",
         [](TestLogger& t) {
             t.On().Start(0, 0, LineSize("-------log start") + LineSize("r1") + LineSize("r2"));
             t.Log(1, "r1").Log(1, "r2").Log(1, "r3").Log(1, "r4");
         },
         {"-------log full reset", "r4"}},
        {"past the limit with freshStart, the log ends with a banner and the logger falls silent",
         [](TestLogger& t) {
             t.On().Start(0, 1, LineSize("-------log start") + LineSize("r1"));
             t.Log(1, "r1").Log(1, "r2").Log(1, "r3").Log(1, "r4");
         },
         {"-------log start", "r1", "r2", "-------log full"}},
    };
    for (const auto& c : cases) {
        TestLogger t;
        c.steps(t);
        EXPECT_EQ(ReadTexts(t.path), c.expected) << c.what;
    }
}

TEST(Logger, EndWaitsForTheMutexAnAbandonedOneIsAcquiredAndAQueuedLineMeetsTheLimit) {
    TestLogger t;
    // A file already past the limit is found so by the first line, though
    // another process's hold on the mutex leaves that line queued.
    ASSERT_TRUE(WriteBytes(t.path, std::string(100, 'x')));
    t.On().Start(0, 0, 50);
    UniqueHandle mutex(
        CreateMutexW(nullptr, FALSE, LogUtils::MutexNameForPath(t.path.c_str()).c_str()));
    UniqueHandle owned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread owner([&] {  // ends owning the mutex, so leaves it abandoned
        WaitForSingleObject(mutex.get(), 0);
        SetEvent(owned.get());
        Sleep(300);
    });
    EXPECT_EQ(WaitForSingleObject(owned.get(), 10000), WAIT_OBJECT_0);
    t.Log(1, "a").End();
    EXPECT_EQ(ReadTexts(t.path), (Texts{"-------log full reset", "-------log end"}));
    owner.join();
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0); }).join();
    t.Level(1);  // "lev change" does not wait
    EXPECT_EQ(ReadTexts(t.path).size(), 3u);
}

TEST(Logger, FullLogThatCannotBeDeletedSwitchesTheLoggerOff) {
    TestLogger t;
    ASSERT_TRUE(WriteBytes(t.path, std::string(98, 'o') + "\r\n"));
    t.On().Start(0, 0, 200);
    // Open as another program reading the log would hold it: deleting not shared.
    UniqueFileHandle held(CreateFileW(t.path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held) << "error " << GetLastError();

    t.Log(1, std::string(100, 'r'));
    EXPECT_FALSE(t.logger.IsEnabled(1));
    t.End();  // off: writes nothing, the failure line stays queued
    held.reset();
    t.Level(0);
    Texts texts = ReadTexts(t.path, 100);
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
    ASSERT_TRUE(WriteBytes(path + L".on", ""));
    const std::wstring event = L"log-go-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    std::vector<UniqueHandle> writers;
    for (int id = 0; id < kWriters; ++id) {
        std::wstring command = L"\"" + BinPath(L"log_writer.exe") + L"\" \"" + path + L"\" " +
                               std::to_wstring(id) + L" " + std::to_wstring(kRecordsEach) + L" " +
                               event;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(StartProcess(command, &pi))
            << "writer " << id << " did not start: error " << GetLastError();
        CloseHandle(pi.hThread);
        writers.emplace_back(pi.hProcess);
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
