#include <gtest/gtest.h>

#include <tuple>

#include "app/command_line_options.h"

namespace {

// The value `key` reads as once `commandLine` replaced an earlier line (a lone argument is a key
// with an empty value); "<miss>" when it is not there, which must leave the out parameter as is.
std::wstring Read(const wchar_t* commandLine, const wchar_t* key) {
    CommandLineOptions options;
    EXPECT_EQ(options.Load(L"x --entry=stale") + options.Load(commandLine) + options.Parse(), 3);
    WString value(L"<miss>");
    const bool found = options.GetValue(key, value);
    return found == (value != WString(L"<miss>")) ? value.c_str() : L"<miss touched the value>";
}

}  // namespace

TEST(CommandLineOptions, ReadsValuesAsTheWindowsSplitAndTheFirstEqualsSignGiveThem) {
    // The command line, the key asked for, the value expected.
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> cases[] = {
        {L"prog.exe --dll=C:\\ext\\a.dll", L"--dll", L"C:\\ext\\a.dll"},
        // A value in the next argument is not taken.
        {L"prog.exe --dll C:\\ext\\a.dll", L"--dll", L""},
        {L"prog.exe --dll C:\\ext\\a.dll", L"C:\\EXT\\A.DLL", L""},
        {L"prog.exe --dll=x", L"--entry", L"<miss>"},
        {L"prog.exe --param=QUJD==", L"--param", L"QUJD=="},
        {L"prog.exe =abc", L"", L"abc"},
        {L"prog.exe sync=", L"sync", L""},
        {L"prog.exe --dumpid=a x --DUMPID=b", L"--dumpid", L"b"},
        // Keys fold, values keep their case.
        {L"prog.exe --Entry=MyEntry", L"--ENTRY", L"MyEntry"},
        {L"prog.exe --DLL=x", L"--dll", L"x"},
        // Quotes on the command line are the split's; escaped ones reach the
        // value and one goes from each end after trimming.
        {L"prog.exe \"--dll=  \\\"C:\\a b\\x.dll\\\"  \"", L"--dll", L"C:\\a b\\x.dll"},
        {L"prog.exe \"--dll=C:\\a b\\x.dll\"", L"--dll", L"C:\\a b\\x.dll"},
        {L"prog.exe --dll=\\\"", L"--dll", L""},
        {L"prog.exe --dll=\\\"abc", L"--dll", L"abc"},
        {L"prog.exe --dll=abc\\\"", L"--dll", L"abc"},
        {L"prog.exe --dll=\\\"\\\"\\\"", L"--dll", L"\""},
        {L"prog.exe \" --entry = Run \"", L"--entry", L"Run"},
        {L"prog.exe \"--dll=\\\" a \\\"\"", L"--dll", L" a "},
        // The program's own path is an argument like any other.
        {L"C:\\x=y\\prog.exe", L"C:\\X", L"y\\prog.exe"},
        {L"C:\\bin\\prog.exe", L"C:\\BIN\\PROG.EXE", L""},
        // CommandLineToArgvW gives the program's own path for an empty text.
        {nullptr, L"--dll", L"<miss>"},
        {L"", L"--dll", L"<miss>"},
    };
    for (const auto& [commandLine, key, expected] : cases)
        EXPECT_EQ(Read(commandLine, key), expected)
            << "command line: "
            << testing::PrintToString(std::wstring(commandLine ? commandLine : L"null"));
}
