#include "runner/runner.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <string>

#include "common/handles.h"
#include "common/narrow.h"
#include "common/path_buffer.h"
#include "log/log_record.h"
#include "runner/held_path.h"
#include "trust/publisher_check.h"

namespace {

// Every record of the loader carries this location, whatever file and line
// the code sits in and whatever separators the build machine uses: readers
// of the log match on "[runner]" and the line numbers.
constexpr char kLogSource[] = "src\\runner\\runner.cpp";
constexpr char kLogTag[] = "[I]";
constexpr int32_t kLogLevel = 1;

struct FailureRecord {
    uint32_t line;
    const wchar_t* message;
};
constexpr FailureRecord kFileMissing{32, L"PathFileExists: "};
constexpr FailureRecord kPublisherRefused{37, L"HasMsSign Failed: "};
constexpr FailureRecord kLoadFailed{44, L"LoadLibrary Failed: "};

// The export's type: one pointer to the process's command line, the
// platform's standard calling convention, result not read.
using ExtensionEntry = void (*)(wchar_t* commandLine);

void LogFailure(const FailureRecord& failure, const PathBuffer& path) {
    EXTRUN_LOG(kLogLevel, kLogTag, kLogSource, failure.line, failure.message << path);
}

// Opens the file so that, while the handle lives, nobody else can write,
// rename or delete it: the file that was verified is the file that loads.
// Readers (the trust check, the loader's own open) are still let in.
UniqueFileHandle HoldAgainstChanges(const wchar_t* path) {
    return UniqueFileHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The extension stays loaded until the process ends, whether or not the
// entry is found: its initialisation has run and may have left threads
// behind. Both return false when the file is refused, and leave `module`
// null when it could not be loaded.
bool CheckAndLoad(const wchar_t* path, HMODULE& module) {
    if (!VerifyPublisherSignature(path)) return false;
    module = LoadLibraryW(path);
    return true;
}

// Where keys are pinned, the check reads the held file itself, and the load
// goes by a path that reaches that file whatever has happened to its folders
// since it was opened by name.
bool CheckAndLoadHeld(const wchar_t* path, HANDLE hold, HMODULE& module) {
    HeldPath held;
    if (!CheckPublisherSignature(path, hold, nullptr) || !held.Hold(hold)) return false;
    module = LoadLibraryW(held.Path());
    return true;
}

}  // namespace

int ExtensionRunner::Run(const WString& dllPath, const WString& entryName) {
    if (dllPath.IsEmpty() || entryName.IsEmpty()) return 0;

    PathBuffer path;
    ResolveAgainstProgramParent(dllPath, path);
    if (!PathFileExistsW(path)) {
        LogFailure(kFileMissing, path);
        return 0;
    }

    HMODULE module = nullptr;
    {
        // A file that cannot be held (someone has it open for writing) could
        // change after it was verified, so it counts as refused.
        const UniqueFileHandle hold = HoldAgainstChanges(path);
        const bool accepted =
            hold && (PinnedPublisherKeyCount() > 0 ? CheckAndLoadHeld(path, hold.get(), module)
                                                   : CheckAndLoad(path, module));
        if (!accepted) {
            LogFailure(kPublisherRefused, path);
            return 0;
        }
    }
    if (!module) {
        LogFailure(kLoadFailed, path);
        return 0;
    }

    ExtensionEntry entry = nullptr;
    {
        const std::string exportName = ToNarrow(entryName, CP_THREAD_ACP);
        entry = reinterpret_cast<ExtensionEntry>(GetProcAddress(module, exportName.c_str()));
    }
    if (!entry) return 0;
    entry(GetCommandLineW());
    return 1;
}
