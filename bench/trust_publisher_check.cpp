// One publisher check, warm (repeated in one process) and cold (first of a
// fresh process), against the bare WinTrust verify-and-close pair in the same
// run; and whether a network or URL-retrieval DLL ever got loaded by a check.
// Built twice: as the build checks, and with the test CA's key pinned, which
// also measures the same check with no key pinned, to show what the pin's
// search and the chain's link checks cost.
//   trust_publisher_check[_pinned] [dll (ext_record.dll, pinned ext_record_ca.dll,
//                                   beside it)] [warm count] [cold count]
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "test_support.h"
#include "trust/publisher_check.h"
#include "trust/trust_call.h"

namespace {

// A cold run reports through its exit code: these flags, and microseconds below.
constexpr DWORD kRefused = 1u << 31;
constexpr DWORD kNetwork = 1u << 30;

// The check's own request, without the walk and the name.
int BareVerifyAndClose(const wchar_t* path) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file = {sizeof(file), path, nullptr, nullptr};
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
    return status == ERROR_SUCCESS ? 1 : 0;
}

bool NetworkModuleLoaded() {
    for (const wchar_t* name : {L"cryptnet.dll", L"wininet.dll", L"winhttp.dll", L"ws2_32.dll",
                                L"dnsapi.dll", L"iphlpapi.dll"})
        if (GetModuleHandleW(name)) return true;
    return false;
}

enum class Way { kCheck, kBare, kUnpinned };
constexpr const wchar_t* kWayFlags[] = {L"--check", L"--bare", L"--unpinned"};

// One run in this process: microseconds and flags, as a cold run exits with.
DWORD RunOnce(Way way, const wchar_t* path) {
    const auto start = std::chrono::steady_clock::now();
    int result = 0;
    if (way == Way::kBare) {
        result = BareVerifyAndClose(path);
    } else if (way == Way::kUnpinned) {
        trust::ScopedPublisherPinsForTesting none(nullptr);
        result = VerifyPublisherSignature(path);
    } else {
        result = VerifyPublisherSignature(path);
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    return static_cast<DWORD>(std::min<long long>(us.count(), kNetwork - 1)) |
           (result == 1 ? 0 : kRefused) | (NetworkModuleLoaded() ? kNetwork : 0);
}

double Median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int way = 0; way < 3; ++way)
        if (argc == 3 && std::wcscmp(argv[1], kWayFlags[way]) == 0)
            return RunOnce(static_cast<Way>(way), argv[2]);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const int pins = PinnedPublisherKeyCount();
    const std::wstring dll =
        argc > 1 ? argv[1] : testsupport::BinPath(pins ? L"ext_record_ca.dll" : L"ext_record.dll");
    const int counts[] = {argc > 2 ? _wtoi(argv[2]) : 200, argc > 3 ? _wtoi(argv[3]) : 15};
    // Without pins the check is its own unpinned baseline.
    const int ways = pins ? 3 : 2;

    std::printf("publisher check of %ls, %d key(s) pinned\n", dll.c_str(), pins);
    int failures = 0;
    bool network = false;
    for (const bool cold : {false, true}) {
        // Interleaved, so that drift in the machine's load touches all alike.
        std::vector<double> ms[3];
        for (int i = 0; i < ways * counts[cold]; ++i) {
            const int way = i % ways;
            DWORD outcome = kRefused;
            if (!cold) {
                outcome = RunOnce(static_cast<Way>(way), dll.c_str());
            } else {
                const auto child = testsupport::RunProcess(
                    L"\"" + std::wstring(self) + L"\" " + kWayFlags[way] + L" \"" + dll + L"\"",
                    L"", 60000, self);
                if (child.started && !child.timedOut) outcome = child.exitCode;
            }
            network = network || (outcome & kNetwork);
            if (outcome & kRefused)
                ++failures;
            else
                ms[way].push_back((outcome & (kNetwork - 1)) / 1000.0);
        }
        std::printf(
            "%s: VerifyPublisherSignature median %8.3f ms, bare verify + close %8.3f ms, "
            "ratio %.2f (%d each)\n",
            cold ? "cold" : "warm", Median(ms[0]), Median(ms[1]), Median(ms[0]) / Median(ms[1]),
            counts[cold]);
        if (pins)
            std::printf("%s: pinned check against the same check unpinned (%8.3f ms): ratio %.3f\n",
                        cold ? "cold" : "warm", Median(ms[2]), Median(ms[0]) / Median(ms[2]));
    }
    std::printf(
        "%d runs refused or failed\nnetwork: %s (watched: cryptnet wininet winhttp ws2_32 "
        "dnsapi iphlpapi)\n",
        failures, network ? "a network or URL-retrieval module was loaded" : "none");
    return failures ? 1 : 0;
}
