#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

// Runs crash_host.exe in a throw-away install tree and gathers what it and
// the stand-in FaultSend.exe wrote there.
namespace crashtest {

// Where the hand-off looks for FaultSend.exe, in its order.
enum class UploaderPlace { BesideProgram, ProgramUtils, Parent, ParentUtils, Grandparent };
constexpr UploaderPlace kAllPlaces[] = {UploaderPlace::BesideProgram, UploaderPlace::ProgramUtils,
                                        UploaderPlace::Parent, UploaderPlace::ParentUtils,
                                        UploaderPlace::Grandparent};

using Fields = std::map<std::string, std::string>;

struct UploaderRun {
    UploaderPlace place;
    Fields fields;
    std::string Get(const std::string& key) const;
    unsigned long long Number(const std::string& key) const;  // decimal or 0x-hex; 0 when absent
};

struct HostRun {
    testsupport::ProcessResult process;
    Fields notes;                      // crash_host.txt, the last value of each key
    std::vector<UploaderRun> uploads;  // every finished or started run, in start order

    unsigned long long Note(const std::string& key) const;
    // The hook whose code holds `address` (a synthetic record's return
    // address into its hook); empty when no hook lies just below it.
    std::string HookAt(unsigned long long address) const;
};

// <root>\app\bin\crash_host.exe, so the program's folder, its parent and
// its grandparent are all inside the tree.
class CrashTree {
public:
    CrashTree();
    std::wstring Folder(UploaderPlace place) const;
    void PlaceUploader(UploaderPlace place);
    // `arguments` follow the program name; waits up to a minute.
    HostRun Run(const std::wstring& arguments) const;

private:
    testsupport::TempDir root_;
};

// The uploader as a test of one case wants it: at the usual place.
HostRun RunCase(const std::wstring& arguments);

bool IsWine();

}  // namespace crashtest
