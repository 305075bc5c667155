#include <windows.h>

#include <gtest/gtest.h>

#include "log/log_record.h"

namespace {

using LogUtils::MakeLogRecord;

struct PrefixCase {
    const char* tag;
    const char* file;
    uint32_t line;
    const wchar_t* expected;
};

TEST(LogRecord, StartsWithTheTagAndTheLineAndSourceName) {
    const PrefixCase cases[] = {
        {"[I]", "d:\\x\\runner.cpp", 37, L"[I][  37][runner] "},
        {"", "d:\\x\\runner.cpp", 37, L"[  37][runner] "},
        {"[I]", "runner.cpp", 37, L"[I][  37] "},    // no backslash
        {"", "c:\\a.b\\runner", 37, L"[  37] "},     // last dot in a folder name
        {"", "c:\\x\\a.b.cpp", 5, L"[   5][a.b] "},  // only the last dot ends the name
        {"", "c:\\x\\.cpp", 5, L"[   5] "},          // nothing between
        {"", "c:\\x\\y.", 5, L"[   5][y] "},
        {"", "c:/src/runner/runner.cpp", 1, L"[   1] "},  // forward slashes name nothing
        {"", "", 0, L"[   0] "},
        {"<T> ", "c:\\x\\r.cpp", 12345, L"<T> [12345][r] "},  // more digits widen the field
        {"", "c:\\x\\r.cpp", 4294967295u, L"[  -1][r] "},     // printed as a signed number
    };
    for (const PrefixCase& c : cases) {
        EXPECT_EQ(MakeLogRecord(c.tag, c.file, c.line).str(), c.expected) << c.file;
        EXPECT_EQ(MakeLogRecord(std::string(c.tag), std::string(c.file), c.line).str(), c.expected)
            << c.file;
    }
}

TEST(LogRecord, NullTextsReadAsNullOrAsAPathWithoutName) {
    EXPECT_EQ(MakeLogRecord(nullptr, "c:\\x\\r.cpp", 1).str(), L"(null)[   1][r] ");
    EXPECT_EQ(MakeLogRecord("[I]", nullptr, 1).str(), L"[I][   1] ");
}

TEST(LogRecord, SourceNameTooLongForTheBufferIsCut) {
    const std::string name(300, 'n');
    for (uint32_t line : {7u, 12345678u}) {
        const std::wstring prefix = MakeLogRecord("", "c:\\" + name + ".cpp", line).str();
        EXPECT_EQ(prefix.size(), 99u);
        EXPECT_EQ(prefix.substr(prefix.size() - 3), L"n] ");
    }
    const std::string fits(80, 'n');
    EXPECT_EQ(MakeLogRecord("", "c:\\" + fits + ".cpp", 7).str(),
              L"[   7][" + std::wstring(80, L'n') + L"] ");
}

TEST(LogRecord, NarrowTagIsWidenedFromTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "expects code page 1252, have " << GetACP();
    EXPECT_EQ(MakeLogRecord("\xE9t\xE9\x80", "", 1).str(), L"\u00e9t\u00e9\u20ac[   1] ");
}

TEST(LogRecord, InsertionsFollowThePrefixWithoutSeparator) {
    LogUtils::LogRecord record = MakeLogRecord("[I]", "d:\\src\\runner\\runner.cpp", 44);
    record << L"LoadLibrary Failed: " << WString(L"C:\\App\\ext\\a.dll") << 7 << L"x";
    EXPECT_EQ(record.str(), L"[I][  44][runner] LoadLibrary Failed: C:\\App\\ext\\a.dll7x");
}

int messagesBuilt = 0;
const wchar_t* BuildMessage() {
    ++messagesBuilt;
    return L"built";
}

TEST(LoggingStatement, BuildsNothingForADisabledLevel) {
    // The process-wide logger has not been started: only level 3 passes,
    // and Log has no appender to hand the record to.
    EXTRUN_LOG(1, "[I]", "c:\\x\\r.cpp", 1, BuildMessage());
    EXTRUN_LOG(2, "[I]", "c:\\x\\r.cpp", 1, BuildMessage());
    EXPECT_EQ(messagesBuilt, 0);
    EXTRUN_LOG(3, "[I]", "c:\\x\\r.cpp", 1, BuildMessage());
    EXPECT_EQ(messagesBuilt, 1);
}

}  // namespace
