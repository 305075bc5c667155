// Fault storm: runs fault_storm_host.exe once per seed, in a throw-away install tree with the
// tests' stand-in FaultSend.exe (told to hold 50 ms), and holds each run to the crash hand-off's
// rules:
//   ended  the process ended by itself: within the mix's first half second, the uploaders' own
//          time and their starts, and two bounds (2 s) after the last of them
//   alive  every uploader found the process still running when it was done
//   alone  no two uploaders ran at once
//   once   no thread was reported twice, nor one that did not fault
//   all    in a mix where no report is lost by design, every thread that faulted at least 100 ms
//          before the process ended, and that the mix did not end, was reported
// Prints a line per broken rule with the seed that runs the mix again, then the counts.
//   fault_storm.exe [mixes (200)] [first seed (from the clock)]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "test_support.h"

using namespace testsupport;

int wmain(int argc, wchar_t** argv) {
    const unsigned mixes = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 200;
    const unsigned first = argc > 2 ? wcstoul(argv[2], nullptr, 10) : GetTickCount() % 1000000;
    unsigned lossyMixes = 0, handleLocksKept = 0, faults = 0, reports = 0, hangs = 0, broken = 0,
             uploadersLeft = 0;
    const ULONGLONG began = GetTickCount64();
    for (unsigned seed = first; seed < first + mixes; ++seed) {
        TempDir root(L"storm");
        const std::wstring bin = root / L"bin";
        MakeDirs(bin);
        CopyTo(BinPath(L"fault_storm_host.exe"), bin + L"\\fault_storm_host.exe");
        CopyTo(BinPath(L"FaultSend.exe"), bin + L"\\FaultSend.exe");
        WriteBytes(bin + L"\\uploader-hold.txt", "50");
        const ULONGLONG start = GetTickCount64();
        const ProcessResult run = RunProcess(
            L"\"" + bin + L"\\fault_storm_host.exe\" " + std::to_wstring(seed), bin, 120000);
        const ULONGLONG took = GetTickCount64() - start;
        const size_t left = EndProcessesUnder(bin + L"\\");
        Fields notes = ReadFields(bin + L"\\storm.txt");
        std::string moments;
        ReadBytes(bin + L"\\faults.bin", &moments);
        std::map<std::string, ULONGLONG> faultedAt;
        struct Moment {
            DWORD thread;
            ULONGLONG tick;
        };
        const auto* slots = reinterpret_cast<const Moment*>(moments.data());
        const size_t slotCount = moments.size() / sizeof(Moment);
        for (size_t slot = 0; slot + 2 < slotCount; ++slot)
            if (slots[slot].thread)
                faultedAt[std::to_string(slots[slot].thread)] = slots[slot].tick;
        // The last two slots: when the mix ended a thread, and when a handle was closed after
        // that. Under Wine only, that thread may have kept the lock under which handles are
        // closed; a process that lived 200 ms on without the probe closing its handle tells.
        const Moment* ended = slotCount >= 2 ? &slots[slotCount - 2] : nullptr;
        const bool handleLockKept = ended && ended->thread && !slots[slotCount - 1].thread &&
                                    ended->tick + 200 < start + took;
        handleLocksKept += handleLockKept && notes["lossy"] != "1";
        const bool lossy = notes["lossy"] == "1" || handleLockKept;
        const std::vector<Fields> made = TakeUploaderReports(bin);

        std::string why;
        const auto rule = [&](bool kept, const std::string& name) {
            if (!kept && why.find(name) == std::string::npos) why += " " + name;
        };
        ULONGLONG allowed = 500 + 2 * 2000 + 3000;
        std::map<std::string, int> reported;
        for (Fields report : made) {
            allowed += 2000;  // the uploader's start, its run (a stack walk for a hook's record)
            rule(report["alive_at_done"] == "1", "alive");
            rule(report["alone"] == "1", "alone");
            const std::string& line = report["command_line"];
            const size_t at = std::min(line.find(" --tid="), line.size());
            const std::string tid = line.substr(at + 7, line.find(' ', at + 1) - at - 7);
            rule(++reported[tid] == 1, "once");
            rule(notes.count("fault." + tid) || notes.count("ended." + tid) || lossy, "once");
        }
        faults += static_cast<unsigned>(faultedAt.size());
        for (const auto& [thread, tick] : faultedAt)
            if (notes.count("fault." + thread) && !lossy && tick + 100 < start + took)
                rule(reported.count(thread) == 1, "all");
        rule(!run.timedOut && took <= allowed, "ended");
        rule(left == 0, "left");
        uploadersLeft += static_cast<unsigned>(left);
        lossyMixes += lossy;
        reports += static_cast<unsigned>(made.size());
        hangs += run.timedOut;
        if (!why.empty()) {
            ++broken;
            printf("seed %u broke:%s (%llu ms, exit 0x%08lX, %zu reports)\n", seed, why.c_str(),
                   took, run.exitCode, made.size());
            fflush(stdout);
        }
    }
    printf(
        "fault storm: %u mixes from seed %u (%u where reports may be lost by design, %u of them "
        "only as Wine kept its handle lock for an ended thread), %u faults, %u reports, %u hangs, "
        "%u uploaders left behind, %u broke a rule; %.0f s\n",
        mixes, first, lossyMixes, handleLocksKept, faults, reports, hangs, uploadersLeft, broken,
        (GetTickCount64() - began) / 1000.0);
    return broken ? 1 : 0;
}
