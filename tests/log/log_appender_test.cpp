#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "log/log_appender.h"
#include "log_test_util.h"
#include "test_support.h"

namespace {

using logtest::ReadLogLines;
using logtest::ReadLogTexts;
using LogUtils::LogAppender;
using testsupport::TempDir;

std::string FileBytes(const std::wstring& path) {
    std::string bytes;
    testsupport::ReadBytes(path, &bytes);
    return bytes;
}

int32_t FileSize(const std::wstring& path) { return static_cast<int32_t>(FileBytes(path).size()); }

TEST(LogAppender, MutexNameKeepsOnlyAsciiLettersAndDigitsInUpperCase) {
    const struct {
        const wchar_t* path;
        const wchar_t* name;
    } cases[] = {
        {L"C:\\D\\Log\\extrun.log", L"CDLOGEXTRUNLOG"},
        {L"c:\\\u00dcber 1\\a-b_c.Log", L"CBER1ABCLOG"},
        {L"\\\\?\\z:\\", L"Z"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LogUtils::MutexNameForPath(c.path), WString(c.name))
            << testsupport::ToUtf8(c.path);
}

TEST(LogAppender, CreatesTheFileOnlyAtTheFirstWrite) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    LogAppender appender(path.c_str(), L"", 0);
    appender.Append(L"queued");
    EXPECT_FALSE(testsupport::Exists(path));
    const int32_t size = appender.Write(L"written", 0);
    EXPECT_EQ(ReadLogTexts(path), (std::vector<std::string>{"queued", "written"}));
    EXPECT_EQ(size, FileSize(path));
}

TEST(LogAppender, LineIsStampedHeaderThenTextThenCrLf) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    LogAppender appender(path.c_str(), nullptr, 0);
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    appender.Write(L"hello", 0);
    GetLocalTime(&after);

    const std::string bytes = FileBytes(path);
    const std::string ids = logtest::IdsOfThisThread();
    ASSERT_EQ(bytes.size(), 19 + ids.size() + 5 + 2);
    EXPECT_EQ(bytes.substr(19), ids + "hello\r\n");

    int month, day, hour, minute, second, millis;
    ASSERT_EQ(std::sscanf(bytes.c_str(), "%2d-%2d %2d:%2d:%2d.%3d ", &month, &day, &hour, &minute,
                          &second, &millis),
              6);
    auto msOfDay = [](int h, int m, int s, int ms) { return ((h * 60 + m) * 60 + s) * 1000 + ms; };
    const int stamp = msOfDay(hour, minute, second, millis);
    EXPECT_TRUE(month == before.wMonth || month == after.wMonth);
    EXPECT_TRUE(day == before.wDay || day == after.wDay);
    if (before.wDay == after.wDay) {
        EXPECT_GE(stamp,
                  msOfDay(before.wHour, before.wMinute, before.wSecond, before.wMilliseconds) - 20);
        EXPECT_LE(stamp,
                  msOfDay(after.wHour, after.wMinute, after.wSecond, after.wMilliseconds) + 20);
    }
}

TEST(LogAppender, TextIsWrittenInTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "expects code page 1252, have " << GetACP();
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    LogAppender appender(path.c_str(), L"", 0);
    appender.Write(L"caf\u00e9 \u20ac \u4e2d", 0);
    EXPECT_EQ(ReadLogTexts(path), std::vector<std::string>{"caf\xe9 \x80 ?"});
}

TEST(LogAppender, TagFollowsTheIdsInBracketsAndIsCutToTheHeaderBuffer) {
    TempDir dir(L"log");
    const std::wstring ids = testsupport::FromUtf8(logtest::IdsOfThisThread());
    const size_t untagged = 19 + ids.size();
    const struct {
        std::wstring tag;
        std::string expected;
    } cases[] = {
        {L"T", "[T]text"},
        {L"", "text"},
        {std::wstring(52, L'x'), "[" + std::string(52, 'x') + "]text"},
        {std::wstring(300, L'x'), "[" + std::string(99 - untagged - 2, 'x') + "]text"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::wstring path = dir / (L"t" + std::to_wstring(n++) + L".log");
        LogAppender appender(path.c_str(), c.tag.c_str(), 0);
        appender.Write(L"text", 0);
        EXPECT_EQ(ReadLogTexts(path), std::vector<std::string>{c.expected});
    }
}

TEST(LogAppender, RunningSizeStartsFromTheSizeOfTheExistingFile) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    ASSERT_TRUE(testsupport::WriteBytes(path, std::string(998, 'o') + "\r\n"));
    LogAppender appender(path.c_str(), L"", 0);
    const int32_t first = appender.Write(L"one", 0);
    EXPECT_EQ(first, FileSize(path));
    EXPECT_GT(first, 1000);
    const int32_t second = appender.Write(L"two", 0);
    EXPECT_EQ(second, FileSize(path));
}

TEST(LogAppender, FreshStartDeletesTheOldFileOnlyWhenNoOtherAppenderHasIt) {
    TempDir dir(L"log");
    const std::wstring shared = dir / L"shared.log";
    const std::wstring alone = dir / L"alone.log";
    ASSERT_TRUE(testsupport::WriteBytes(shared, "old\r\n"));
    ASSERT_TRUE(testsupport::WriteBytes(alone, "old\r\n"));

    LogAppender first(shared.c_str(), L"", 0);
    LogAppender second(shared.c_str(), L"", 1);
    EXPECT_TRUE(testsupport::Exists(shared));

    LogAppender fresh(alone.c_str(), L"", 1);
    EXPECT_FALSE(testsupport::Exists(alone));
    // The creator gave up its initial ownership: another owner gets it.
    const WString name = LogUtils::MutexNameForPath(WString(alone.c_str()));
    std::thread([&name] {
        UniqueHandle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
        ASSERT_TRUE(mutex);
        EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
        ReleaseMutex(mutex.get());
    }).join();
}

TEST(LogAppender, NonWaitingWriteKeepsLinesQueuedWhileAnotherOwnerHoldsTheMutex) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    LogAppender appender(path.c_str(), L"", 0);
    logtest::MutexHolder holder(path);
    EXPECT_EQ(appender.Write(L"one", 0), 0);
    EXPECT_EQ(appender.Write(L"two", 0), 0);
    EXPECT_EQ(FileSize(path), 0);
    holder.Release();
    const int32_t size = appender.Write(L"three", 0);
    EXPECT_EQ(size, FileSize(path));
    EXPECT_EQ(ReadLogTexts(path), (std::vector<std::string>{"one", "two", "three"}));
}

TEST(LogAppender, AbandonedMutexCountsAsAcquired) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    LogAppender appender(path.c_str(), L"", 0);
    logtest::MutexHolder holder(path);
    holder.Abandon();
    appender.Write(L"after", 0);
    EXPECT_EQ(ReadLogTexts(path), std::vector<std::string>{"after"});
}

TEST(LogAppender, ResetDeletesTheFileAndDropsQueuedLines) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    LogAppender appender(path.c_str(), L"", 0);
    appender.Write(L"written", 0);
    {
        logtest::MutexHolder holder(path);
        appender.Write(L"queued", 0);
    }
    EXPECT_TRUE(appender.Reset());
    EXPECT_FALSE(testsupport::Exists(path));
    const int32_t size = appender.Write(L"new", 0);
    EXPECT_EQ(ReadLogTexts(path), std::vector<std::string>{"new"});
    EXPECT_EQ(size, FileSize(path));
}

// Debugger output reaches a vectored handler as a print exception first.
// Windows may raise it twice (wide, then narrow); the first one counts.
std::string debuggerText;
LONG CALLBACK CaptureDebuggerText(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->NumberParameters < 2 || !debuggerText.empty()) return EXCEPTION_CONTINUE_SEARCH;
    const auto text = record->ExceptionInformation[1];
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C)
        debuggerText += reinterpret_cast<const char*>(text);
    else if (record->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C)
        debuggerText += testsupport::ToUtf8(reinterpret_cast<const wchar_t*>(text));
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(LogAppender, FailedOpenTellsTheDebuggerAndCountsEveryDroppedLineAsMinusOne) {
    TempDir dir(L"log");
    const std::wstring folder = dir / L"missing";
    const std::wstring path = folder + L"\\a.log";
    LogAppender appender(path.c_str(), L"", 0);
    {
        void* handler = AddVectoredExceptionHandler(1, CaptureDebuggerText);
        appender.Write(L"first", 0);
        RemoveVectoredExceptionHandler(handler);
    }
    EXPECT_EQ(debuggerText, "open " + testsupport::ToUtf8(path) + " error. [2]\r\n");
    // -1 for the open, then -1 for each line.
    EXPECT_EQ(appender.Write(L"lost", 0), -3);
    EXPECT_EQ(appender.Write(L"lost too", 1), -4);
    // No new open before a reset, even once the folder exists.
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(appender.Write(L"lost again", 0), -5);
    EXPECT_FALSE(testsupport::Exists(path));
    EXPECT_FALSE(appender.Reset());
    appender.Write(L"found", 0);
    EXPECT_EQ(ReadLogTexts(path), std::vector<std::string>{"found"});
}

TEST(LogAppender, WritesWithoutTheCrossProcessLockWhenTheMutexCannotBeMade) {
    TempDir dir(L"log");
    const std::wstring path = dir / L"a.log";
    // An event holding the name keeps a mutex of that name from being made.
    const WString name = LogUtils::MutexNameForPath(WString(path.c_str()));
    UniqueHandle squatter(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(squatter);
    LogAppender appender(path.c_str(), L"", 0);
    appender.Append(L"one");
    appender.Write(L"two", 0);
    EXPECT_EQ(ReadLogTexts(path), (std::vector<std::string>{"one", "two"}));
}

}  // namespace
