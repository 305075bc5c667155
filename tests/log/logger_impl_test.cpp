#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <thread>

#include "log/log_record.h"
#include "log/logger_impl.h"
#include "log_test_util.h"
#include "test_support.h"

namespace {

using logtest::LogText;
using logtest::ReadLogTexts;
using LogUtils::LoggerImpl;
using Texts = std::vector<std::string>;

constexpr int32_t kUnlimited = 0x7FFFFFFF;

// The lowest level the logger lets through; 4 when even level 3 is held back.
int Threshold(LogUtils::Logger& logger) {
    for (int level = 0; level <= 3; ++level)
        if (logger.IsEnabled(level)) return level;
    return 4;
}

// A logger of its own on a log in a fresh folder. The logger leaves its
// appender open, so the test resets it to let the folder go.
class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { logger.Reset(); }
    void SwitchOn() { ASSERT_TRUE(testsupport::WriteBytes(path + L".on", "")); }
    void SwitchOff() { DeleteFileW((path + L".on").c_str()); }
    void Start(int32_t defaultOn = 0, int32_t freshStart = 0, int32_t maxBytes = kUnlimited) {
        logger.Start(path.c_str(), L"", defaultOn, freshStart, maxBytes);
    }
    Texts Lines() { return ReadLogTexts(path); }

    testsupport::TempDir dir{L"log"};
    std::wstring path = dir / L"extrun.log";
    LoggerImpl logger;
};

TEST_F(LoggerTest, WithoutSwitchFileStaysSilentAndCreatesNoFile) {
    Start();
    EXPECT_EQ(Threshold(logger), 3);
    EXPECT_FALSE(logger.IsEnabled(1));
    EXPECT_FALSE(logger.IsEnabled(2));
    EXPECT_TRUE(logger.IsEnabled(3));
    logger.End();
    EXPECT_FALSE(testsupport::Exists(path));
}

TEST_F(LoggerTest, SwitchFileFramesTheRecordsWithStartAndEnd) {
    SwitchOn();
    Start();
    EXPECT_EQ(Threshold(logger), 0);
    EXPECT_FALSE(testsupport::Exists(path)) << "Start opens nothing";
    LogText(logger, "a");
    LogText(logger, "b");
    logger.End();
    EXPECT_EQ(Lines(), (Texts{"-------log start", "a", "b", "-------log end"}));
    EXPECT_FALSE(logger.IsEnabled(1));
}

TEST_F(LoggerTest, DefaultOnWithoutSwitchFileLetsLevelOneThrough) {
    Start(1);
    EXPECT_EQ(Threshold(logger), 1);
    LogText(logger, "r");
    EXPECT_EQ(Lines(), (Texts{"-------log start", "r"}));
}

TEST_F(LoggerTest, LaterStartKeepsWritingToTheFirstFile) {
    SwitchOn();
    Start();
    logger.End();
    const std::wstring second = dir / L"second.log";
    ASSERT_TRUE(testsupport::WriteBytes(second + L".on", ""));
    logger.Start(second.c_str(), L"", 0, 0, kUnlimited);
    LogText(logger, "r");
    logger.End();
    EXPECT_EQ(Lines(), (Texts{"-------log start", "-------log end", "-------log start", "r",
                              "-------log end"}));
    EXPECT_FALSE(testsupport::Exists(second));
}

TEST_F(LoggerTest, SwitchFileIsOnlyReadAtStartAndReload) {
    Start();
    SwitchOn();
    EXPECT_EQ(Threshold(logger), 3);
    logger.ProcessCommand(L"--reload_log_switch");
    EXPECT_EQ(Threshold(logger), 0);
    SwitchOff();
    EXPECT_EQ(Threshold(logger), 0);
    logger.End();
    EXPECT_EQ(Lines(), (Texts{"-------log reload switch", "-------log end"}));
}

TEST(Logger, SetLevelWritesTheBannerOfItsTable) {
    const struct {
        int32_t from;
        int32_t to;
        const char* banner;  // null: none
    } cases[] = {
        {0, 3, "-------log off"},
        {1, 3, "-------log off"},
        {0, 1, "-------log lev change"},
        {1, 1, "-------log lev change"},
        {1, 2, "-------log lev change"},
        {1, 4, "-------log lev change"},
        {2, 0, "-------log lev change"},
        {3, 1, "-------log lev change"},
        {3, 2, nullptr},
        {2, 3, nullptr},
        {3, 3, nullptr},
    };
    for (const auto& c : cases) {
        testsupport::TempDir dir(L"log");
        const std::wstring path = dir / L"extrun.log";
        LoggerImpl logger;
        logger.Start(path.c_str(), L"", 0, 0, kUnlimited);
        if (c.from != 3) logger.SetLevel(c.from);
        const size_t before = testsupport::Exists(path) ? ReadLogTexts(path).size() : 0;
        logger.SetLevel(c.to);
        const Texts after = testsupport::Exists(path) ? ReadLogTexts(path) : Texts{};
        const Texts added(after.begin() + static_cast<long>(before), after.end());
        EXPECT_EQ(added, c.banner ? Texts{c.banner} : Texts{}) << c.from << " -> " << c.to;
        EXPECT_EQ(Threshold(logger), std::min(c.to, 4)) << c.from << " -> " << c.to;
        logger.Reset();
    }
}

TEST(Logger, BeforeStartOnlyTheThresholdMoves) {
    LoggerImpl logger;
    EXPECT_FALSE(logger.IsEnabled(1));
    LogText(logger, "nowhere");
    logger.Reset();
    logger.End();
    logger.SetLevel(0);
    EXPECT_TRUE(logger.IsEnabled(0));
    logger.ProcessCommand(nullptr);
    EXPECT_TRUE(logger.IsEnabled(0));
}

TEST_F(LoggerTest, PinnedIgnoresLevelChangesButNotAReload) {
    SwitchOn();
    Start(1);
    logger.SetLevel(3);
    logger.ProcessCommand(L"--set_log_lev=2");
    EXPECT_EQ(Threshold(logger), 0);
    SwitchOff();
    logger.ProcessCommand(L"--reload_log_switch");
    EXPECT_EQ(Threshold(logger), 3);
    logger.SetLevel(1);
    EXPECT_EQ(Threshold(logger), 3);
    SwitchOn();
    logger.ProcessCommand(L"--reload_log_switch");
    EXPECT_EQ(Threshold(logger), 0);
    logger.End();
    EXPECT_EQ(Lines(), (Texts{"-------log start", "-------log reload switch", "-------log end"}));
}

TEST_F(LoggerTest, ProcessCommandActsOnTheFirstSwitchInTableOrder) {
    SwitchOn();
    const struct {
        const wchar_t* text;
        int expected;
    } cases[] = {
        {L"x --reload_log_switch --set_log_lev=1", 1},
        {L"--SET_LOG_LEV=2", 2},
        {L"--set_log_lev=3 --set_log_lev=0", 0},
        {L"prog.exe --Reload_Log_Switch", 0},
        {L"--set_log_lev=5", 2},
        {L"", 2},
        {nullptr, 2},
    };
    Start();
    for (const auto& c : cases) {
        logger.SetLevel(2);
        logger.ProcessCommand(c.text);
        EXPECT_EQ(Threshold(logger), c.expected) << (c.text ? testsupport::ToUtf8(c.text) : "null");
    }
}

TEST_F(LoggerTest, WaitingEndFlushesLinesQueuedWhileTheMutexWasHeld) {
    SwitchOn();
    Start();
    logtest::MutexHolder holder(path);
    LogText(logger, "a");
    LogText(logger, "b");
    logger.SetLevel(0);  // "lev change" does not wait either
    std::atomic<bool> ended{false};
    std::thread ender([&] {
        logger.End();
        ended = true;
    });
    Sleep(300);
    EXPECT_FALSE(ended);
    holder.Release();
    ender.join();
    EXPECT_EQ(Lines(),
              (Texts{"-------log start", "a", "b", "-------log lev change", "-------log end"}));
}

TEST_F(LoggerTest, RunnerRecordReadsAsTheLoaderExpects) {
    SwitchOn();
    Start();
    LogUtils::LogRecord record = LogUtils::MakeLogRecord("[I]", "d:\\src\\runner\\runner.cpp", 32);
    record << L"PathFileExists: " << WString(L"C:\\App\\ext\\a.dll");
    logger.Log(record);
    std::string bytes;
    ASSERT_TRUE(testsupport::ReadBytes(path, &bytes));
    const std::string ids = logtest::IdsOfThisThread();
    const std::string start = ids + "-------log start\r\n";
    const std::string line = ids + "[I][  32][runner] PathFileExists: C:\\App\\ext\\a.dll\r\n";
    ASSERT_EQ(bytes.size(), 19 + start.size() + 19 + line.size());
    EXPECT_EQ(bytes.substr(19, start.size()), start);
    EXPECT_EQ(bytes.substr(19 + start.size() + 19), line);
}

// Size of the line this thread writes for `text`.
int32_t LineSize(const std::string& text) {
    return static_cast<int32_t>(19 + logtest::IdsOfThisThread().size() + text.size() + 2);
}

TEST_F(LoggerTest, FullLogIsDeletedAndStartedOverWithTheResetBanner) {
    SwitchOn();
    // Equal to the limit is not over it.
    const int32_t limit = LineSize("-------log start") + LineSize("r1") + LineSize("r2");
    Start(0, 0, limit);
    LogText(logger, "r1");
    LogText(logger, "r2");
    EXPECT_EQ(Lines(), (Texts{"-------log start", "r1", "r2"}));
    LogText(logger, "r3");
    EXPECT_FALSE(testsupport::Exists(path));
    EXPECT_TRUE(logger.IsEnabled(0));
    LogText(logger, "r4");
    EXPECT_EQ(Lines(), (Texts{"-------log full reset", "r4"}));
}

TEST_F(LoggerTest, FullLogWithFreshStartWritesFullAndFallsSilent) {
    SwitchOn();
    Start(0, 1, LineSize("-------log start") + LineSize("r1"));
    LogText(logger, "r1");
    LogText(logger, "r2");
    EXPECT_FALSE(logger.IsEnabled(1));
    logger.End();
    EXPECT_EQ(Lines(), (Texts{"-------log start", "r1", "r2", "-------log full"}));
}

TEST_F(LoggerTest, ProductLimitOnAPreGrownFileRestartsTheLog) {
    constexpr int32_t kLimit = LoggerImpl::kDefaultMaxBytes;
    ASSERT_EQ(kLimit, 104857600);
    ASSERT_TRUE(logtest::MakeFileOfSize(path, "old", kLimit - 100));
    SwitchOn();
    Start(0, 0, kLimit);
    LogText(logger, "r1");
    EXPECT_TRUE(testsupport::Exists(path)) << "still under the limit";
    LogText(logger, "r2");
    EXPECT_FALSE(testsupport::Exists(path));
    LogText(logger, "r3");
    EXPECT_EQ(Lines(), (Texts{"-------log full reset", "r3"}));
}

// The system's text for `code`, on one line.
std::string SystemMessage(DWORD code) {
    wchar_t* message = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text = message ? message : L"";
    LocalFree(message);
    for (size_t at; (at = text.find(L"\r\n")) != std::wstring::npos;) text.erase(at, 2);
    return testsupport::ToUtf8(text);
}

TEST_F(LoggerTest, FullLogHeldOpenByAnotherProcessSwitchesTheLoggerOff) {
    const std::string oldLine(98, 'o');
    ASSERT_TRUE(testsupport::WriteBytes(path, oldLine + "\r\n"));
    SwitchOn();
    Start(0, 0, 200);

    const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
    UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, (L"log-held-" + suffix).c_str()));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, (L"log-release-" + suffix).c_str()));
    std::wstring command = L"\"" + testsupport::BinPath(L"log_writer.exe") + L"\" hold \"" + path +
                           L"\" log-held-" + suffix + L" log-release-" + suffix;
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi));
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    const HANDLE readyOrGone[] = {ready.get(), process.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, readyOrGone, FALSE, 30000), WAIT_OBJECT_0);

    LogText(logger, std::string(100, 'r'));
    EXPECT_FALSE(logger.IsEnabled(1));
    logger.End();  // off: writes nothing, the banner stays queued

    SetEvent(release.get());
    ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    logger.SetLevel(0);
    const Texts lines = ReadLogTexts(path, oldLine.size() + 2);
    EXPECT_EQ(lines, (Texts{"-------log start", std::string(100, 'r'),
                            "-------log full reset failed. 32:" + SystemMessage(32),
                            "-------log lev change"}));
}

}  // namespace
