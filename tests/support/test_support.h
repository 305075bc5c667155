#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

// Helpers shared by test programs: processes, throw-away folders, files.
namespace testsupport {

// Whether this process runs under Wine (its ntdll exports wine_get_version), asked once. A test
// that expects what Wine does where Windows does otherwise (README.md, Wine and Windows) chooses
// its expectation by it at run time, and says "not checked on Windows" as a skip where Windows'
// behaviour cannot be known here.
bool IsWine();

// `name` in the folder that holds the running test program (and every built fixture).
std::wstring BinPath(const std::wstring& name);

// A fresh folder under the user's temp folder (on the C: drive under Wine),
// removed with its contents when the object goes.
class TempDir {
public:
    explicit TempDir(const std::wstring& hint = L"extrun");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

private:
    std::wstring path_;
};

struct ProcessResult {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    DWORD startError = 0;  // GetLastError of the last failed start
    DWORD Code() const { return !started ? 0xFFFFFFFF : timedOut ? 0xFFFFFFFE : exitCode; }
};

// Starts `commandLine` with `flags` in `currentDir` (empty: inherit); `si` (default: none) may
// name standard handles, which are then inherited. A failed start is tried twice more: Wine has
// been seen to refuse one start of many on a loaded CI machine. False keeps the last error.
bool StartProcess(const std::wstring& commandLine, PROCESS_INFORMATION* pi, DWORD flags = 0,
                  const std::wstring& currentDir = L"", const std::wstring& application = L"",
                  const STARTUPINFOW* si = nullptr);

// Starts `commandLine` hidden as StartProcess does and waits up to `timeoutMs`, killing a
// process that outlives the wait; `output` gets its stdout and stderr (stderr alone, stdout
// going nowhere, with `errorsOnly`).
ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentDir = L"",
                         DWORD timeoutMs = 60000, const std::wstring& application = L"",
                         std::string* output = nullptr, bool errorsOnly = false);

bool MakeDirs(const std::wstring& path);
bool CopyTo(const std::wstring& from, const std::wstring& to);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string* bytes);
std::string ReadText(const std::wstring& path);  // the bytes of a file, none for no file
bool Exists(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// The UTF-16LE text of a file, without terminator; "<missing>" for no file.
std::wstring ReadWide(const std::wstring& path);
// The key=value lines of a text file, by key; none for no file.
using Fields = std::map<std::string, std::string>;
Fields ReadFields(const std::wstring& path);
// The reports the test FaultSend.exe left in `folder`, one per start, each taken away once read.
std::vector<Fields> TakeUploaderReports(const std::wstring& folder);

// Ends, and counts, the processes still running a program from under `folder` (a path ending in
// a backslash): an uploader left behind by a process that has ended.
size_t EndProcessesUnder(const std::wstring& folder);

std::vector<std::string> SplitLines(const std::string& text, const std::string& separator = "\r\n");
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// The data folder of a product under the roaming or local application-data folder.
std::wstring RoamingData(const wchar_t* name);
std::wstring LocalData(const wchar_t* name);

}  // namespace testsupport
