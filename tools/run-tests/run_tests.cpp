// run-tests.exe: runs the test programs listed in tests.txt beside it, on Windows alone.
//
// Each test case runs in a process of its own with its program's time bound, as CTest runs them,
// so a case that hangs or crashes costs its own bound and no other case. Each program's results
// go to <results>\<program>.xml (JUnit, the cases as GoogleTest wrote them), the counts to
// <results>\summary.txt and standard output, ending with "N passed, N failed, N skipped"; the
// exit code is 0 only when no case failed.
//
//   run-tests.exe [--results FOLDER] [--filter TEXT]
//
// FOLDER defaults to "results" in the current folder; TEXT keeps the programs and cases whose
// name holds it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kManifestName[] = L"tests.txt";
constexpr DWORD kListTimeoutMs = 120000;  // CTest's bound on listing a program's tests
constexpr UINT kTimedOutExitCode = 0xDEAD;

class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~UniqueHandle() {
        if (h_) CloseHandle(h_);
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

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

std::wstring FullPath(const std::wstring& path) {
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    full.resize(
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    return full.empty() ? path : full;
}

std::wstring OwnFolder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\'));
}

bool ReadFileBytes(HANDLE file, std::string* bytes) {
    bytes->clear();
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes->append(chunk, got);
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    return file.get() && ReadFileBytes(file.get(), bytes);
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.get() &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

struct ProcessEnd {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    DWORD ms = 0;
    std::string output;  // standard output and error together
};

// Runs `commandLine` in `folder` with its output in a file of its own there (a pipe could fill
// and stall a chatty test, and a process the test leaves behind could hold a pipe, or a file it
// inherited, open for good), ending it when it outlives `timeoutMs`.
ProcessEnd RunCaptured(const std::wstring& commandLine, const std::wstring& folder,
                       DWORD timeoutMs) {
    static unsigned serial = 0;
    const std::wstring outputPath = folder + L"\\output-" + std::to_wstring(++serial) + L".txt";
    ProcessEnd end;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    // Deleted once the last handle goes, whoever holds it then.
    UniqueHandle output(CreateFileW(outputPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inherit, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!output.get()) {
        end.output = "cannot make the output file, error " + std::to_string(GetLastError());
        return end;
    }
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = output.get();
    si.hStdError = output.get();
    PROCESS_INFORMATION pi = {};
    std::wstring line = commandLine;
    const ULONGLONG start = GetTickCount64();
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                        &si, &pi)) {
        end.output = "cannot start it, error " + std::to_string(GetLastError());
        return end;
    }
    end.started = true;
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    const DWORD waited = WaitForSingleObject(process.get(), timeoutMs);
    if (waited != WAIT_OBJECT_0) {
        end.timedOut = true;
        // A failed termination leaves a process that the end of the run cannot wait for either.
        if (TerminateProcess(process.get(), kTimedOutExitCode))
            WaitForSingleObject(process.get(), 5000);
    }
    end.ms = static_cast<DWORD>(GetTickCount64() - start);
    if (!GetExitCodeProcess(process.get(), &end.exitCode)) end.exitCode = kTimedOutExitCode;
    SetFilePointer(output.get(), 0, nullptr, FILE_BEGIN);
    ReadFileBytes(output.get(), &end.output);
    return end;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The full names of the cases that --gtest_list_tests printed: "Suite." lines, each followed by
// its cases indented, either maybe followed by "  # GetParam() = ...".
std::vector<std::string> ListedCases(const std::string& listing) {
    std::vector<std::string> cases;
    std::string suite;
    for (std::string line : Lines(listing)) {
        line = line.substr(0, line.find('#'));
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (line.empty()) continue;
        if (line[0] != ' ') {
            suite = line.back() == '.' ? line : "";
        } else if (!suite.empty()) {
            cases.push_back(suite + line.substr(line.find_first_not_of(' ')));
        }
    }
    return cases;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        // Characters XML cannot hold, and bytes that may not be UTF-8, are not kept.
        else if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x80)
            out += '?';
        else
            out += static_cast<char>(c);
    }
    return out;
}

enum class Outcome { kPassed, kFailed, kSkipped };

struct CaseResult {
    Outcome outcome = Outcome::kFailed;
    std::string why;  // for a failure or a skip: one line
    std::string xml;  // its <testcase> element
};

// The <testcase> element GoogleTest wrote for the one case it ran, or none.
std::string GtestCaseElement(const std::string& report) {
    const size_t start = report.find("<testcase ");
    const size_t suiteEnd = report.rfind("</testsuite>");
    if (start == std::string::npos || suiteEnd == std::string::npos || suiteEnd < start) return "";
    std::string element = report.substr(start, suiteEnd - start);
    while (!element.empty() && (element.back() == ' ' || element.back() == '\n'))
        element.pop_back();
    return element;
}

// Why GoogleTest skipped a case: the text between its "Skipped" line and "[  SKIPPED ]".
std::string SkipReason(const std::string& output) {
    const size_t marker = output.find(": Skipped");
    if (marker == std::string::npos) return "";
    const size_t start = output.find('\n', marker);
    const size_t end = output.find("[  SKIPPED ]", marker);
    if (start == std::string::npos || end == std::string::npos || end <= start) return "";
    std::string reason = output.substr(start + 1, end - start - 1);
    for (char& c : reason)
        if (c == '\r' || c == '\n') c = ' ';
    while (!reason.empty() && reason.back() == ' ') reason.pop_back();
    return reason;
}

CaseResult RunCase(const std::wstring& program, const std::string& name, DWORD timeoutSeconds,
                   const std::wstring& workFolder) {
    CaseResult result;
    const std::wstring report = workFolder + L"\\case.xml";
    DeleteFileW(report.c_str());
    const ProcessEnd end = RunCaptured(L"\"" + program + L"\" --gtest_filter=" + FromUtf8(name) +
                                           L" --gtest_output=xml:\"" + report + L"\"",
                                       workFolder, timeoutSeconds * 1000);
    std::string gtestReport;
    ReadWholeFile(report, &gtestReport);
    DeleteFileW(report.c_str());
    const std::string element = GtestCaseElement(gtestReport);

    const bool ranOne = end.output.find("[==========] 1 test from") != std::string::npos;
    if (end.timedOut) {
        result.why = "timed out after " + std::to_string(timeoutSeconds) + " s";
    } else if (!end.started) {
        result.why = end.output;
    } else if (end.exitCode != 0) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08lX", end.exitCode);
        result.why = std::string("exit code ") + code;
    } else if (!ranOne) {
        result.why = "the program ran no such case";
    } else if (end.output.find("[  SKIPPED ] 1 test") != std::string::npos) {
        result.outcome = Outcome::kSkipped;
        result.why = SkipReason(end.output);
    } else if (end.output.find("[  PASSED  ] 1 test.") != std::string::npos) {
        result.outcome = Outcome::kPassed;
    } else {
        result.why = "the program reported no result";
    }

    // GoogleTest's own element when it tells the same story; else one made here, with the output.
    const bool elementFails = element.find("<failure") != std::string::npos;
    const bool elementSkips = element.find("<skipped") != std::string::npos;
    if (!element.empty() && elementFails == (result.outcome == Outcome::kFailed) &&
        elementSkips == (result.outcome == Outcome::kSkipped)) {
        result.xml = element;
        return result;
    }
    const size_t dot = name.find('.');
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.3f", end.ms / 1000.0);
    std::string output = end.output;
    for (size_t at = 0; (at = output.find("]]>", at)) != std::string::npos; at += 4)
        output.replace(at, 3, "]]]]><![CDATA[>");
    result.xml =
        "<testcase name=\"" + Escaped(name.substr(dot + 1)) + "\" classname=\"" +
        Escaped(name.substr(0, dot)) + "\" time=\"" + seconds + "\">\n      " +
        (result.outcome == Outcome::kSkipped ? "<skipped message=\"" : "<failure message=\"") +
        Escaped(result.why) + "\"/>\n      <system-out><![CDATA[" + Escaped(output) +
        "]]></system-out>\n    </testcase>";
    return result;
}

struct Counts {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    std::string Line() const {
        return std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " +
               std::to_string(skipped) + " skipped";
    }
};

void Print(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

struct ManifestEntry {
    std::wstring program;
    DWORD timeoutSeconds = 0;
};

// tests.txt: "<program> <seconds>" a line; "#" starts a comment.
bool ReadManifest(const std::wstring& path, std::vector<ManifestEntry>* entries) {
    std::string text;
    if (!ReadWholeFile(path, &text)) return false;
    for (std::string line : Lines(text)) {
        line = line.substr(0, line.find('#'));
        const size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        const unsigned long seconds = std::strtoul(line.c_str() + blank + 1, nullptr, 10);
        if (seconds == 0) return false;
        entries->push_back({FromUtf8(line.substr(0, blank)), static_cast<DWORD>(seconds)});
    }
    return !entries->empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring results = L"results";
    std::string filter;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--results" && i + 1 < argc) {
            results = argv[++i];
        } else if (option == L"--filter" && i + 1 < argc) {
            filter = ToUtf8(argv[++i]);
        } else {
            Print("usage: run-tests.exe [--results FOLDER] [--filter TEXT]");
            return 2;
        }
    }
    const std::wstring here = OwnFolder();
    std::vector<ManifestEntry> manifest;
    if (!ReadManifest(here + L"\\" + kManifestName, &manifest)) {
        Print("run-tests: no readable " + ToUtf8(kManifestName) + " beside the runner");
        return 2;
    }
    results = FullPath(results);
    const std::wstring work = results + L"\\work";
    CreateDirectoryW(results.c_str(), nullptr);
    CreateDirectoryW(work.c_str(), nullptr);
    if (GetFileAttributesW(work.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Print("run-tests: cannot make " + ToUtf8(work));
        return 2;
    }

    Counts total;
    std::string summary;
    const ULONGLONG runStart = GetTickCount64();
    for (const ManifestEntry& entry : manifest) {
        const std::wstring program = here + L"\\" + entry.program;
        const std::string programName = ToUtf8(entry.program);
        const std::string suiteName = programName.substr(0, programName.rfind(".exe"));
        const bool wholeProgram = filter.empty() || programName.find(filter) != std::string::npos;
        Counts counts;
        std::string cases;
        const ULONGLONG programStart = GetTickCount64();
        const ProcessEnd listing =
            RunCaptured(L"\"" + program + L"\" --gtest_list_tests", work, kListTimeoutMs);
        const std::vector<std::string> names = ListedCases(listing.output);
        if (!listing.started || listing.timedOut || listing.exitCode != 0 || names.empty()) {
            // A program that is missing or cannot list its cases counts as one failed case.
            if (!wholeProgram) continue;
            ++counts.failed;
            const std::string why = !listing.started   ? listing.output
                                    : listing.timedOut ? "listing its cases timed out"
                                                       : "it listed no cases";
            Print("FAILED  " + programName + ": " + why);
            cases += "<testcase name=\"ListTests\" classname=\"" + Escaped(suiteName) +
                     "\">\n      <failure message=\"" + Escaped(why) +
                     "\"/>\n    </testcase>\n    ";
        }
        for (const std::string& name : names) {
            if (!wholeProgram && name.find(filter) == std::string::npos) continue;
            const CaseResult result = RunCase(program, name, entry.timeoutSeconds, work);
            if (result.outcome == Outcome::kPassed) ++counts.passed;
            if (result.outcome == Outcome::kFailed) {
                ++counts.failed;
                Print("FAILED  " + suiteName + " " + name + ": " + result.why);
            }
            if (result.outcome == Outcome::kSkipped) {
                ++counts.skipped;
                Print("SKIPPED " + suiteName + " " + name + ": " + result.why);
            }
            cases += result.xml + "\n    ";
        }
        if (counts.passed + counts.failed + counts.skipped == 0) continue;
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%.1f", (GetTickCount64() - programStart) / 1000.0);
        const std::string attributes =
            " name=\"" + Escaped(suiteName) + "\" tests=\"" +
            std::to_string(counts.passed + counts.failed + counts.skipped) + "\" failures=\"" +
            std::to_string(counts.failed) + "\" skipped=\"" + std::to_string(counts.skipped) +
            "\" errors=\"0\" time=\"" + seconds + "\"";
        const std::wstring xmlPath = results + L"\\" + FromUtf8(suiteName) + L".xml";
        if (!WriteWholeFile(xmlPath, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" +
                                         attributes + ">\n  <testsuite" + attributes + ">\n    " +
                                         cases + "</testsuite>\n</testsuites>\n")) {
            Print("FAILED  cannot write " + ToUtf8(xmlPath));
            ++counts.failed;
        }
        const std::string line = programName + ": " + counts.Line() + " (" + seconds + " s)";
        Print(line);
        summary += line + "\n";
        total.passed += counts.passed;
        total.failed += counts.failed;
        total.skipped += counts.skipped;
    }
    // Best effort: a test that left files in its current folder keeps the folder.
    RemoveDirectoryW(work.c_str());
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.0f", (GetTickCount64() - runStart) / 1000.0);
    summary += "time: " + std::string(seconds) + " s\n" + total.Line() + "\n";
    Print(total.Line());
    if (!WriteWholeFile(results + L"\\summary.txt", summary)) {
        Print("run-tests: cannot write the summary");
        return 1;
    }
    return total.failed == 0 && total.passed + total.skipped > 0 ? 0 : 1;
}
