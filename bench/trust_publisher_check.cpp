// How long one publisher check takes, warm (repeated in one process) and
// cold (the first check of a fresh process), against the bare WinTrust
// verify-and-close pair on the same file in the same run; and whether any
// check touched the network, told by whether a network or URL-retrieval DLL
// ever got loaded into a process that checked.
//
//   trust_publisher_check [dll] [warm count] [cold count]
//
// The dll defaults to ext_record.dll beside this program (signed under an
// accepted name, so the whole check runs: verify, walk, name, close).
#include <windows.h>
#include <shellapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "trust/publisher_check.h"

namespace {

// Modules a verification would need to reach the network: URL retrieval,
// HTTP clients, sockets, name resolution.
const wchar_t* const kNetworkModules[] = {L"cryptnet.dll", L"wininet.dll", L"winhttp.dll",
                                          L"ws2_32.dll",   L"dnsapi.dll",  L"iphlpapi.dll"};

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The same request the check makes, without the walk and the name.
LONG BareVerifyAndClose(const wchar_t* path) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    WINTRUST_DATA request = {};
    request.cbStruct = 80;
    request.dwUIChoice = WTD_UI_NONE;
    request.dwUnionChoice = WTD_CHOICE_FILE;
    request.pFile = &file;
    request.dwStateAction = WTD_STATEACTION_VERIFY;
    request.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
    const LONG status = WinVerifyTrust(nullptr, &action, &request);
    request.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &request);
    return status;
}

std::wstring LoadedNetworkModules() {
    std::wstring loaded;
    for (const wchar_t* name : kNetworkModules)
        if (GetModuleHandleW(name)) loaded += (loaded.empty() ? L"" : L" ") + std::wstring(name);
    return loaded;
}

struct Summary {
    double median, low, high;  // median, 10th and 90th percentile, ms
};

Summary Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[static_cast<size_t>(q * (samples.size() - 1) + 0.5)];
    };
    return {at(0.5), at(0.1), at(0.9)};
}

// Child: one check (or one bare pair) in this fresh process; writes
// "<ms> <loaded network modules>" to the result file.
int RunOnce(bool bare, const wchar_t* path, const wchar_t* resultFile) {
    const double start = Now();
    const int result = bare ? (BareVerifyAndClose(path) == 0) : VerifyPublisherSignature(path);
    const double elapsed = Now() - start;
    FILE* out = _wfopen(resultFile, L"w");
    if (!out) return 2;
    std::fprintf(out, "%.3f %ls", elapsed, LoadedNetworkModules().c_str());
    std::fclose(out);
    return result;
}

struct ColdResult {
    std::vector<double> samples;
    std::wstring network;
    int failures = 0;
};

// Runs this program once with --once or --bare-once and collects its figure.
void MeasureOneCold(const std::wstring& self, const std::wstring& dll, bool bare,
                    ColdResult& cold) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring resultFile =
        std::wstring(temp) + L"trust_bench_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    std::wstring line = L"\"" + self + L"\" " + (bare ? L"--bare-once" : L"--once") + L" \"" + dll +
                        L"\" \"" + resultFile + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        ++cold.failures;
        return;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    FILE* in = _wfopen(resultFile.c_str(), L"r");
    double ms = 0;
    wchar_t modules[512] = {};
    if (code != 1 || !in || std::fwscanf(in, L"%lf %511[^\n]", &ms, modules) < 1) {
        ++cold.failures;
    } else {
        cold.samples.push_back(ms);
        if (modules[0]) cold.network += std::wstring(modules) + L"; ";
    }
    if (in) std::fclose(in);
    DeleteFileW(resultFile.c_str());
}

void PrintRow(const char* what, const Summary& s) {
    std::printf("  %-34s median %8.3f ms   p10 %8.3f   p90 %8.3f\n", what, s.median, s.low, s.high);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 &&
        (std::wcscmp(argv[1], L"--once") == 0 || std::wcscmp(argv[1], L"--bare-once") == 0))
        return RunOnce(std::wcscmp(argv[1], L"--bare-once") == 0, argv[2], argv[3]);

    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dll = argc > 1 ? argv[1] : L"";
    if (dll.empty()) {
        dll = self;
        dll = dll.substr(0, dll.rfind(L'\\') + 1) + L"ext_record.dll";
    }
    const int warmCount = argc > 2 ? _wtoi(argv[2]) : 200;
    const int coldCount = argc > 3 ? _wtoi(argv[3]) : 15;

    std::printf("publisher check of %ls\n", dll.c_str());
    const double firstStart = Now();
    const int firstResult = VerifyPublisherSignature(dll.c_str());
    const double first = Now() - firstStart;
    if (firstResult != 1) {
        std::printf("  the file is refused (result %d); pick a DLL signed under an accepted name\n",
                    firstResult);
        return 1;
    }

    // Interleaved, so that drift in the machine's load touches both alike.
    std::vector<double> check, bare;
    for (int i = 0; i < warmCount; ++i) {
        double start = Now();
        VerifyPublisherSignature(dll.c_str());
        check.push_back(Now() - start);
        start = Now();
        BareVerifyAndClose(dll.c_str());
        bare.push_back(Now() - start);
    }
    const Summary warmCheck = Summarise(check);
    const Summary warmBare = Summarise(bare);
    std::printf("warm: %d checks in one process (first one in it: %.3f ms)\n", warmCount, first);
    PrintRow("VerifyPublisherSignature", warmCheck);
    PrintRow("baseline: bare verify + close", warmBare);
    std::printf("  ratio check / baseline             %.2f\n", warmCheck.median / warmBare.median);

    ColdResult coldCheck, coldBare;
    for (int i = 0; i < coldCount; ++i) {
        MeasureOneCold(self, dll, false, coldCheck);
        MeasureOneCold(self, dll, true, coldBare);
    }
    std::printf("cold: first check of a fresh process, %d processes each\n", coldCount);
    if (!coldCheck.samples.empty() && !coldBare.samples.empty()) {
        const Summary c = Summarise(coldCheck.samples);
        const Summary b = Summarise(coldBare.samples);
        PrintRow("VerifyPublisherSignature", c);
        PrintRow("baseline: bare verify + close", b);
        std::printf("  ratio check / baseline             %.2f\n", c.median / b.median);
        std::printf("  cold / warm check                  %.1f\n", c.median / warmCheck.median);
    }
    if (coldCheck.failures || coldBare.failures)
        std::printf("  %d cold runs failed\n", coldCheck.failures + coldBare.failures);

    const std::wstring here = LoadedNetworkModules();
    const bool touched = !here.empty() || !coldCheck.network.empty() || !coldBare.network.empty();
    std::printf("network: %s\n", touched ? "a network or URL-retrieval module was loaded" : "none");
    std::printf("  watched modules: cryptnet wininet winhttp ws2_32 dnsapi iphlpapi\n");
    if (touched)
        std::printf("  here: %ls | cold checks: %ls | cold baseline: %ls\n", here.c_str(),
                    coldCheck.network.c_str(), coldBare.network.c_str());
    return 0;
}
