#include "runner/runner.h"

#include <windows.h>
#include <shlwapi.h>

#include "common/escaped_text.h"
#include "common/narrow.h"
#include "log/log_record.h"
#include "runner/held_path.h"

namespace {

// Every record of the loader carries this location, whatever file and line
// the code sits in and whatever separators the build machine uses: readers
// of the log match on "[runner]" and the line numbers.
constexpr char kLogSource[] = "src\\runner\\runner.cpp";
constexpr char kLogTag[] = "[I]";
constexpr int32_t kLogLevel = 1;

// The export's type: one pointer to the process's command line, the
// platform's standard calling convention, result not read.
using ExtensionEntry = void (*)(wchar_t* commandLine);

// The path as given can hold a line break, which would end the record's line
// and start one that looks like any other.
void LogFailure(const FailureRecord& failure, const PathBuffer& path) {
    EXTRUN_LOG(kLogLevel, kLogTag, kLogSource, failure.line,
               failure.message << EscapeControls(path));
}

// Opens the file so that, while the handle lives, nobody else can write,
// rename or delete it: the file that was verified is the file that loads.
// Readers (the trust check, the loader's own open) are still let in.
UniqueFileHandle HoldAgainstChanges(const wchar_t* path) {
    return UniqueFileHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

const FailureRecord* CheckBeforeLoad(const WString& dllPath, const WString& entryName,
                                     PathBuffer& path, UniqueFileHandle& hold,
                                     PublisherCheckDetails* details) {
    if (dllPath.IsEmpty() || entryName.IsEmpty()) return &kNothingToRun;

    ResolveAgainstProgramParent(dllPath, path);
    if (!PathFileExistsW(path)) return &kFileMissing;

    // A file that cannot be held (someone has it open for writing) could
    // change after it was verified, so it counts as refused.
    hold = HoldAgainstChanges(path);
    // Where keys are pinned, the check reads the held file itself.
    const HANDLE checked = PinnedPublisherKeyCount() > 0 ? hold.get() : nullptr;
    if (!hold || !CheckPublisherSignature(path, checked, details)) return &kPublisherRefused;
    return nullptr;
}

std::string ExportName(const WString& entryName) { return ToNarrow(entryName, CP_THREAD_ACP); }

int ExtensionRunner::Run(const WString& dllPath, const WString& entryName) {
    PathBuffer path;
    HMODULE module = nullptr;
    {
        UniqueFileHandle hold;
        if (const FailureRecord* refusal =
                CheckBeforeLoad(dllPath, entryName, path, hold, nullptr)) {
            if (refusal->message) LogFailure(*refusal, path);
            return 0;
        }
        // Stays loaded until the process ends, whether or not the entry is
        // found: its initialisation has run and may have left threads behind.
        if (PinnedPublisherKeyCount() == 0) {
            module = LoadLibraryW(path);
        } else {
            // Where keys are pinned, the load goes by a path that reaches the
            // held file whatever has happened to its folders since it was
            // opened by name, and those folders are held until it is done.
            HeldPath held;
            if (!held.Hold(hold.get())) {
                LogFailure(kPublisherRefused, path);
                return 0;
            }
            module = LoadLibraryW(held.Path());
        }
    }
    if (!module) {
        LogFailure(kLoadFailed, path);
        return 0;
    }

    ExtensionEntry entry = nullptr;
    {
        const std::string exportName = ExportName(entryName);
        entry = reinterpret_cast<ExtensionEntry>(GetProcAddress(module, exportName.c_str()));
    }
    if (!entry) return 0;
    entry(GetCommandLineW());
    return 1;
}
