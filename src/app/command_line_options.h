#pragma once

#include <map>

#include "common/wstring.h"

// The key=value table built from the process's command line. Keys are
// stored upper-cased; a missing option and an empty one read the same.
class CommandLineOptions {
public:
    CommandLineOptions() = default;
    ~CommandLineOptions();

    // Keeps a copy of `commandLine` (null reads as empty) and parses it.
    // Always 1.
    int Load(const wchar_t* commandLine);
    // Rebuilds the table from the kept text; 0 when it cannot be split.
    int Parse();
    // On a hit assigns the value and returns true; a miss leaves `value` alone.
    bool GetValue(const WString& key, WString& value) const;
    // The last value set for a key wins.
    void SetValue(const WString& key, const WString& value);

private:
    WString text_;
    std::map<WString, WString> pairs_;
};

// Option names, as written on the command line.
inline constexpr const wchar_t kOptionDll[] = L"--dll";
inline constexpr const wchar_t kOptionEntry[] = L"--entry";
inline constexpr const wchar_t kOptionDumpId[] = L"--dumpid";
inline constexpr const wchar_t kOptionParam[] = L"--param";
inline constexpr const wchar_t kOptionSync[] = L"sync";
inline constexpr const wchar_t kOptionExitCode[] = L"--exitcode";
