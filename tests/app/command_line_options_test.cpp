#include <gtest/gtest.h>

#include "app/command_line_options.h"

namespace {

// The value an option reads as after loading `commandLine`; a miss reads as
// the empty text, as the program's own reads do.
std::wstring Read(const wchar_t* commandLine, const wchar_t* key) {
    CommandLineOptions options;
    options.Load(commandLine);
    WString value;
    options.GetValue(key, value);
    return value.c_str();
}

}  // namespace

TEST(CommandLineOptions, ReadsValuesAsTheWindowsSplitAndTheFirstEqualsSignGiveThem) {
    struct Case {
        const wchar_t* commandLine;
        const wchar_t* key;
        const wchar_t* expected;
    } cases[] = {
        {L"prog.exe --dll=C:\\ext\\a.dll", L"--dll", L"C:\\ext\\a.dll"},
        // A value in the next argument is not taken.
        {L"prog.exe --dll C:\\ext\\a.dll", L"--dll", L""},
        {L"prog.exe --dll C:\\ext\\a.dll", L"C:\\EXT\\A.DLL", L""},
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
    };
    for (const Case& c : cases)
        EXPECT_EQ(Read(c.commandLine, c.key), c.expected)
            << "command line: " << testing::PrintToString(std::wstring(c.commandLine));
}

TEST(CommandLineOptions, AMissLeavesTheOutParameterAsItWas) {
    CommandLineOptions options;
    options.Load(L"prog.exe --dll=x");
    WString value(L"untouched");
    EXPECT_FALSE(options.GetValue(L"--entry", value));
    EXPECT_STREQ(value.c_str(), L"untouched");
    EXPECT_TRUE(options.GetValue(L"--Dll", value));
    EXPECT_STREQ(value.c_str(), L"x");
}

TEST(CommandLineOptions, NullAndEmptyCommandLinesStoreOnlyWhatTheSplitGives) {
    // CommandLineToArgvW gives the program's own path for an empty text.
    for (const wchar_t* line : {static_cast<const wchar_t*>(nullptr), L""}) {
        CommandLineOptions options;
        EXPECT_EQ(options.Load(line), 1);
        WString value;
        EXPECT_FALSE(options.GetValue(L"--dll", value));
    }
}
