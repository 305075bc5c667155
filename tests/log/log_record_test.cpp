#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "common/path_buffer.h"
#include "log/log_record.h"
#include "test_support.h"

namespace {

using LogUtils::LogRecord;

TEST(LogRecord, StartsWithTheTagAndTheLineAndSourceName) {
    const std::string longName = "c:\\" + std::string(300, 'n') + ".cpp";
    const std::string nameOf84 = "c:\\" + std::string(84, 'n') + ".cpp";
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
        {"", nameOf84.c_str(), 2147483648u, L"[-2147483648][" + std::wstring(83, L'n') + L"] "},
        {nullptr, "c:\\x\\r.cpp", 1, L"(null)[   1][r] "},
        {"[I]", nullptr, 1, L"[I][   1] "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LogUtils::MakeLogRecord(c.tag, c.file, c.line).str(), c.expected) << c.line;
}

// The expected texts are what a std::wostringstream with default flags makes of the insertions.
TEST(LogRecord, InsertsEveryTypeAsAWideStreamWould) {
    static const PathBuffer path = L"C:\\App\\ext\\a.dll";
    const struct {
        void (*insert)(LogRecord&);
        std::wstring expected;
    } cases[] = {
        {[](LogRecord& r) { r << L"LoadLibrary Failed: " << path; },
         L"LoadLibrary Failed: C:\\App\\ext\\a.dll"},
        {[](LogRecord& r) { r << std::wstring(L"a\0b", 3) << WString(L"c") << L'd' << 'e'; },
         std::wstring(L"a\0bcde", 6)},
        {[](LogRecord& r) { r << "narrow " << std::string("kept").c_str(); }, L"narrow kept"},
        {[](LogRecord& r) {
             r << true << false << L' ' << static_cast<signed char>(-5) << L' '
               << static_cast<uint8_t>(200);
         },
         L"10 -5 200"},
        {[](LogRecord& r) { r << SHRT_MIN << L' ' << static_cast<unsigned short>(USHRT_MAX); },
         L"-32768 65535"},
        {[](LogRecord& r) { r << INT_MIN << L' ' << UINT_MAX << L' ' << 0 << L' ' << -1; },
         L"-2147483648 4294967295 0 -1"},
        {[](LogRecord& r) { r << LONG_MIN << L' ' << ULONG_MAX; }, L"-2147483648 4294967295"},
        {[](LogRecord& r) { r << LLONG_MIN << L' ' << ULLONG_MAX; },
         L"-9223372036854775808 18446744073709551615"},
        // Hex and octal show negatives as the unsigned value of their own width.
        {[](LogRecord& r) {
             r << std::hex << static_cast<short>(-2) << L' ' << -1 << L' ' << -1L << L' ' << -1LL
               << L' ' << static_cast<uint8_t>(171) << L' ' << 0 << L' ' << true;
         },
         L"fffe ffffffff ffffffff ffffffffffffffff ab 0 1"},
        {[](LogRecord& r) {
             r << std::hex << 255 << std::dec << L' ' << 255 << std::oct << L' ' << -8 << L' '
               << LLONG_MIN;
         },
         L"ff 255 37777777770 1000000000000000000000"},
        {[](LogRecord& r) {
             r << static_cast<const void*>(nullptr) << L' ' << reinterpret_cast<int*>(0x10) << L' '
               << std::hex << reinterpret_cast<void*>(0xFEDCBA9876543210ull);
         },
         L"0 0x10 0xfedcba9876543210"},
        // A null text fails the stream: nothing after it goes in.
        {[](LogRecord& r) { r << L"a" << static_cast<const wchar_t*>(nullptr) << L"b" << 5; },
         L"a"},
        {[](LogRecord& r) { r << L"a" << static_cast<const char*>(nullptr) << 'b'; }, L"a"},
        // Past the record's own room, and growing again once on the heap.
        {[](LogRecord& r) { r << L"head" << std::wstring(400, L'x') << std::wstring(900, L'y'); },
         L"head" + std::wstring(400, L'x') + std::wstring(900, L'y')},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        LogRecord record;
        cases[i].insert(record);
        // The text moves whole, from the record's own room or from the heap.
        const LogRecord moved(std::move(record));
        EXPECT_EQ(moved.str(), cases[i].expected) << "case " << i;
    }
}

int messagesBuilt = 0;
const wchar_t* BuildMessage() { return ++messagesBuilt, L"built"; }

// Every test runs in a process of its own, so the process-wide logger here was never started.
TEST(LoggingStatement, BuildsNothingWhenDisabledAndLeavesTheLastErrorAsItFoundIt) {
    testsupport::TempDir dir(L"log");
    const std::wstring path = dir / L"extrun.log";
    ASSERT_TRUE(testsupport::WriteBytes(path + L".on", ""));
    // Not started: only level 3 passes, to no appender.
    SetLastError(1234);
    EXTRUN_LOG(2, "[I]", "c:\\x\\r.cpp", 1, BuildMessage());
    EXPECT_EQ(messagesBuilt, 0);
    EXPECT_EQ(GetLastError(), 1234u) << "disabled";
    EXTRUN_LOG(3, "[I]", "c:\\x\\r.cpp", 1, BuildMessage());
    EXPECT_EQ(messagesBuilt, 1);
    // Enabled: the first line opens the file, which sets the last error.
    LogUtils::StartLog(path.c_str());
    SetLastError(1234);
    EXTRUN_LOG(1, "[I]", "c:\\x\\r.cpp", 1, L"written");
    EXPECT_EQ(GetLastError(), 1234u) << "enabled";
    LogUtils::EndLog();
    EXPECT_NE(testsupport::ReadText(path).find("[I][   1][r] written\r\n"), std::string::npos);
    LogUtils::GetLogger()->Reset();
}

}  // namespace
