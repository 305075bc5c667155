#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "common/path_buffer.h"
#include "log/log_record.h"
#include "log/logger_impl.h"
#include "test_support.h"

namespace {

using LogUtils::LogRecord;

// The expected texts are what a std::wostringstream with default flags
// makes of the same insertions.
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
        // Long enough to leave the record's own room.
        {[](LogRecord& r) {
             for (int i = 0; i < 100; ++i) r << L"0123456789";
         },
         [] {
             std::wstring text;
             for (int i = 0; i < 100; ++i) text += L"0123456789";
             return text;
         }()},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        LogRecord record;
        cases[i].insert(record);
        EXPECT_EQ(record.str(), cases[i].expected) << "case " << i;
    }
}

TEST(LogRecord, WidensNarrowBytesOneByOneThroughTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "expects code page 1252, have " << GetACP();
    LogRecord record;
    record << "\xE9\x80" << '\x80';
    EXPECT_EQ(record.str(), L"\u00e9\u20ac\u20ac");
}

TEST(LoggingStatement, LeavesTheLastErrorAsItFoundIt) {
    testsupport::TempDir dir(L"log");
    const std::wstring path = dir / L"extrun.log";
    ASSERT_TRUE(testsupport::WriteBytes(path + L".on", ""));
    LogUtils::Logger* logger = LogUtils::GetLogger();
    // Disabled: the logger is not started (or already ended).
    SetLastError(1234);
    EXTRUN_LOG(1, "[I]", "c:\\x\\r.cpp", 1, L"not built");
    EXPECT_EQ(GetLastError(), 1234u) << "disabled";
    // Enabled: the first line opens the file, which sets the last error.
    logger->Start(path.c_str(), L"", 0, 0, LogUtils::LoggerImpl::kDefaultMaxBytes);
    SetLastError(1234);
    EXTRUN_LOG(1, "[I]", "c:\\x\\r.cpp", 1, L"written");
    EXPECT_EQ(GetLastError(), 1234u) << "enabled";
    logger->End();
    std::string bytes;
    EXPECT_TRUE(testsupport::ReadBytes(path, &bytes) &&
                bytes.find("[I][   1][r] written\r\n") != std::string::npos);
    logger->Reset();
}

}  // namespace
