// Start-up benchmark: starts each contender as a process, alternating, and
// times it from CreateProcessW to its exit. Prints medians, ratios against
// the minimal verifying loader, the bare loader, rundll32 and the loaders
// that also make the launcher's start-up calls (two of them also starting
// one or two idle threads, as the crash hand-off does), peak working sets and the
// launcher's size; and the launcher pinned to the test CA against the
// default one, each running the extension as that CA issued it.
//   startup_bench.exe [rounds]
// It expects beside itself: extrun.exe, extrun_pinned.exe,
// startup_bench_ext.dll (signed by an accepted publisher),
// startup_bench_ext_ca.dll (the same, issued by the test CA) and the
// startup_*_loader.exe programs.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

struct Contender {
    const wchar_t* name;
    std::wstring application;
    std::wstring commandLine;
    std::vector<double> ms;
    SIZE_T peakWorkingSet = 0;
    int failures = 0;
};

double RunOnce(Contender& c, const std::wstring& folder) {
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    std::wstring line = c.commandLine;
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(c.application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &si, &pi)) {
        ++c.failures;
        return -1;
    }
    // Sampled while it runs: Wine reports no memory figures for a process that has ended.
    const auto samplePeak = [&] {
        PROCESS_MEMORY_COUNTERS counters = {sizeof(counters)};
        if (GetProcessMemoryInfo(pi.hProcess, &counters, sizeof(counters)))
            c.peakWorkingSet = std::max(c.peakWorkingSet, counters.PeakWorkingSetSize);
    };
    while (WaitForSingleObject(pi.hProcess, 2) == WAIT_TIMEOUT) samplePeak();
    QueryPerformanceCounter(&end);
    samplePeak();
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (code != 0) ++c.failures;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 30;

    // An install tree as a product lays it out: marker beside bin, launcher
    // in bin, the extension in ext. No log switch file: logging off, as in
    // the field.
    TempDir tree(L"startup-bench");
    MakeDirs(tree / L"bin");
    MakeDirs(tree / L"ext");
    WriteBytes(tree / L"Tessaly.exe", "marker");
    const std::wstring launcher = tree / L"bin\\extrun.exe";
    const std::wstring pinned = tree / L"bin\\extrun_pinned.exe";
    const std::wstring dll = tree / L"ext\\startup_bench_ext.dll";
    if (!CopyTo(BinPath(L"extrun.exe"), launcher) ||
        !CopyTo(BinPath(L"extrun_pinned.exe"), pinned) ||
        !CopyTo(BinPath(L"startup_bench_ext.dll"), dll) ||
        !CopyTo(BinPath(L"startup_bench_ext_ca.dll"), tree / L"ext\\startup_bench_ext_ca.dll")) {
        fwprintf(stderr,
                 L"startup_bench: a launcher or extension is missing beside the benchmark\n");
        return 2;
    }
    const std::wstring verifying = BinPath(L"startup_verifying_loader.exe");
    const std::wstring bare = BinPath(L"startup_bare_loader.exe");
    const std::wstring platform = BinPath(L"startup_platform_loader.exe");
    const std::wstring idle = BinPath(L"startup_idle_thread_loader.exe");
    const std::wstring idleTwo = BinPath(L"startup_two_threads_loader.exe");
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring rundll = std::wstring(system) + L"\\rundll32.exe";

    std::vector<Contender> all = {
        {L"extrun", launcher,
         L"\"" + launcher + L"\" --dll=ext\\startup_bench_ext.dll --entry=Run"},
        {L"minimal verifying loader", verifying, L"\"" + verifying + L"\" \"" + dll + L"\" Run"},
        {L"bare loader", bare, L"\"" + bare + L"\" \"" + dll + L"\" Run"},
        {L"rundll32", rundll, L"\"" + rundll + L"\" \"" + dll + L"\",RunDll"},
        {L"verifying + start-up calls", platform, L"\"" + platform + L"\" \"" + dll + L"\" Run"},
        {L"... + an idle thread", idle, L"\"" + idle + L"\" \"" + dll + L"\" Run"},
        {L"extrun, CA-issued ext.", launcher,
         L"\"" + launcher + L"\" --dll=ext\\startup_bench_ext_ca.dll --entry=Run"},
        {L"extrun pinned, the same", pinned,
         L"\"" + pinned + L"\" --dll=ext\\startup_bench_ext_ca.dll --entry=Run"},
        {L"... + two idle threads", idleTwo, L"\"" + idleTwo + L"\" \"" + dll + L"\" Run"},
    };
    for (Contender& c : all) RunOnce(c, tree.Path());  // warm the file cache and the server
    for (Contender& c : all) c.failures = 0;
    // The pinned launcher is judged round by round against the default one started beside it,
    // as the machine's load drifts more between rounds than the two differ; the two take turns
    // to go first, so that neither gains from the other's warming of the system.
    std::vector<double> pinnedRatios;
    for (int r = 0; r < rounds; ++r) {
        std::vector<double> round(all.size());
        for (size_t i = 0; i < all.size(); ++i) {
            const size_t k = r % 2 && i >= 6 ? i ^ 1 : i;
            round[k] = RunOnce(all[k], tree.Path());
            if (round[k] >= 0) all[k].ms.push_back(round[k]);
        }
        if (round[6] > 0 && round[7] > 0) pinnedRatios.push_back(round[7] / round[6]);
    }

    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(launcher.c_str(), GetFileExInfoStandard, &attributes);
    wprintf(L"start-up, %d rounds, alternating; median wall time from CreateProcessW to exit\n",
            rounds);
    // A contender that ends before its first sample shows n/a.
    for (const Contender& c : all) {
        wchar_t memory[32] = L"    n/a";
        if (c.peakWorkingSet)
            swprintf(memory, 32, L"%7.1f", static_cast<double>(c.peakWorkingSet) / (1 << 20));
        wprintf(L"  %-26ls %8.2f ms   peak working set %ls MiB   failures %d\n", c.name,
                Median(c.ms), memory, c.failures);
    }
    const double e = Median(all[0].ms);
    wprintf(
        L"ratios: extrun/minimal-verifying %.3f (target <= 1.10), extrun/bare %.3f, "
        L"extrun/rundll32 %.3f\n",
        e / Median(all[1].ms), e / Median(all[2].ms), e / Median(all[3].ms));
    wprintf(
        L"peak working set: extrun/minimal-verifying %.3f (target <= 1.20)\n",
        static_cast<double>(all[0].peakWorkingSet) / static_cast<double>(all[1].peakWorkingSet));
    const auto against = [&](const wchar_t* what, const Contender& c, const Contender& base) {
        wprintf(L"against %ls: time %.3f, peak working set %.3f\n", what,
                Median(c.ms) / Median(base.ms),
                static_cast<double>(c.peakWorkingSet) / static_cast<double>(base.peakWorkingSet));
    };
    against(L"a verifying loader that also makes the launcher's start-up calls", all[0], all[4]);
    against(
        L"the same loader starting two idle threads, as the hand-off's watcher and its own "
        L"thread (target <= 1.01)",
        all[0], all[8]);
    against(L"the loader starting one idle thread", all[0], all[5]);
    wprintf(L"an idle thread's own cost, ");
    against(L"the loader without it", all[5], all[4]);
    wprintf(L"a second one's (the watcher's), ");
    against(L"the loader with one", all[8], all[5]);
    wprintf(
        L"extrun pinned against extrun, both running the CA-issued extension: time %.3f "
        L"(median of the rounds' ratios; target <= 1.01), medians %.3f\n",
        Median(pinnedRatios), Median(all[7].ms) / Median(all[6].ms));
    wprintf(L"extrun.exe size: %lu bytes\n", attributes.nFileSizeLow);
    return 0;
}
