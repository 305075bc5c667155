#include "test_support.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <atomic>

namespace testsupport {

bool IsWine() {
    static const bool wine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

std::wstring BinPath(const std::wstring& name) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    PathRemoveFileSpecW(path);
    return std::wstring(path) + L"\\" + name;
}

TempDir::TempDir(const std::wstring& hint) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    do {
        path_ = std::wstring(temp) + hint + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(counter++);
    } while (!CreateDirectoryW(path_.c_str(), nullptr));
}

TempDir::~TempDir() { RemoveTree(path_); }

bool StartProcess(const std::wstring& commandLine, PROCESS_INFORMATION* pi, DWORD flags,
                  const std::wstring& currentDir, const std::wstring& application,
                  const STARTUPINFOW* si) {
    STARTUPINFOW plain = {sizeof(plain)};
    STARTUPINFOW startup = si ? *si : plain;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) Sleep(200);
        std::wstring line = commandLine;
        if (CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(),
                           nullptr, nullptr, (startup.dwFlags & STARTF_USESTDHANDLES) != 0, flags,
                           nullptr, currentDir.empty() ? nullptr : currentDir.c_str(), &startup,
                           pi))
            return true;
    }
    return false;
}

ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentDir,
                         DWORD timeoutMs, const std::wstring& application, std::string* output,
                         bool errorsOnly) {
    ProcessResult result;
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    // Output goes to a file rather than a pipe, so a chatty child never blocks.
    TempDir outputDir(L"output");
    const std::wstring outputPath = outputDir / L"out.txt";
    HANDLE outputFile = INVALID_HANDLE_VALUE;
    if (output) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        outputFile = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr);
        si.dwFlags |= STARTF_USESTDHANDLES;
        si.hStdOutput = errorsOnly ? nullptr : outputFile;
        si.hStdError = outputFile;
    }
    PROCESS_INFORMATION pi = {};
    const bool started = StartProcess(commandLine, &pi, 0, currentDir, application, &si);
    if (!started) result.startError = GetLastError();
    if (outputFile != INVALID_HANDLE_VALUE) CloseHandle(outputFile);
    if (!started) return result;
    result.started = true;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(pi.hProcess, 0xDEAD);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    GetExitCodeProcess(pi.hProcess, &result.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (output) ReadBytes(outputPath, output);
    return result;
}

bool MakeDirs(const std::wstring& path) {
    const int rc = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS;
}

bool CopyTo(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    CloseHandle(h);
    return ok;
}

bool ReadBytes(const std::wstring& path, std::string* bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes->append(chunk, got);
    CloseHandle(h);
    return true;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const std::wstring& path) {
    if (path.empty()) return;
    std::wstring from = path + L'\0';  // the list ends with an empty name
    SHFILEOPSTRUCTW operation = {nullptr, FO_DELETE, from.c_str(), nullptr, FOF_NO_UI};
    SHFileOperationW(&operation);
}

std::string ReadText(const std::wstring& path) {
    std::string text;
    ReadBytes(path, &text);
    return text;
}

std::wstring ReadWide(const std::wstring& path) {
    std::string bytes;
    if (!ReadBytes(path, &bytes)) return L"<missing>";
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                        bytes.size() / sizeof(wchar_t));
}

Fields ReadFields(const std::wstring& path) {
    Fields fields;
    for (const std::string& line : SplitLines(ReadText(path))) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
}

std::vector<Fields> TakeUploaderReports(const std::wstring& folder) {
    std::vector<Fields> reports;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\faultsend-*.txt").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return reports;
    do {
        const std::wstring report = folder + L"\\" + found.cFileName;
        reports.push_back(ReadFields(report));
        DeleteFileW(report.c_str());
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return reports;
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& separator) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t hit; (hit = text.find(separator, start)) != std::string::npos;
         start = hit + separator.size())
        lines.push_back(text.substr(start, hit - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');  // three bytes a unit at most
    out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   out.data(), static_cast<int>(out.size()), nullptr, nullptr));
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring out(text.size(), L'\0');  // a unit a byte at most
    out.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   out.data(), static_cast<int>(out.size())));
    return out;
}

static std::wstring SpecialFolder(int csidl, const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
    return std::wstring(path) + L"\\" + name;
}

std::wstring RoamingData(const wchar_t* name) { return SpecialFolder(CSIDL_APPDATA, name); }
std::wstring LocalData(const wchar_t* name) { return SpecialFolder(CSIDL_LOCAL_APPDATA, name); }

size_t EndProcessesUnder(const std::wstring& folder) {
    size_t count = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {sizeof(entry)};
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                           FALSE, entry.th32ProcessID);
        wchar_t path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (process && QueryFullProcessImageNameW(process, 0, path, &size) &&
            _wcsnicmp(path, folder.c_str(), folder.size()) == 0)
            ++count, TerminateProcess(process, 1);
        if (process) CloseHandle(process);
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace testsupport
