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
                                     PathBuffer& path, HeldExtension& held,
                                     PublisherCheckDetails* details, LoadedModuleLookup loaded) {
    if (dllPath.IsEmpty() || entryName.IsEmpty()) return &kNothingToRun;

    ResolveAgainstProgramParent(dllPath, path);
    if (!PathFileExistsW(path)) return &kFileMissing;

    // A file that cannot be held (someone has it open for writing) could
    // change after it was verified, so it counts as refused.
    held.file = HoldAgainstChanges(path);
    // Where keys are pinned, the check reads the held file itself.
    const bool pinned = PinnedPublisherKeyCount() > 0;
    const HANDLE file = held.file.get();
    if (!held.file || !CheckPublisherSignature(path, pinned ? file : nullptr, details))
        return &kPublisherRefused;

    // Where keys are pinned, the load goes by a path that reaches the held
    // file whatever has happened to its folders since it was opened by name,
    // and those folders are held until it is done.
    if (pinned && !held.folders.Hold(file)) held.loadRefusal = LoadNameRefusal::kFolders;
    if (held.loadRefusal == LoadNameRefusal::kNone)
        held.loadRefusal =
            LoadNameFor(pinned ? held.folders.Path() : path, file, held.loadName, loaded);
    switch (held.loadRefusal) {
        case LoadNameRefusal::kNone:
            return nullptr;
        case LoadNameRefusal::kModuleLoaded:
            return &kLoadFailed;
        default:
            return &kPublisherRefused;
    }
}

std::string ExportName(const WString& entryName) { return ToNarrow(entryName, CP_THREAD_ACP); }

int ExtensionRunner::Run(const WString& dllPath, const WString& entryName, RunOutcome* outcome) {
    RunOutcome unused;
    if (!outcome) outcome = &unused;
    PathBuffer path;
    HMODULE module = nullptr;
    {
        HeldExtension held;
        if (const FailureRecord* refusal =
                CheckBeforeLoad(dllPath, entryName, path, held, nullptr)) {
            if (refusal->message) LogFailure(*refusal, path);
            *outcome = refusal->outcome;
            return 0;
        }
        // Stays loaded until the process ends, whether or not the entry is
        // found: its initialisation has run and may have left threads behind.
        module = LoadLibraryW(held.loadName);
        // The loader may still have handed out another image for that name;
        // then nothing of it is called.
        if (module && !IsModuleOf(module, held.file.get())) module = nullptr;
    }
    if (!module) {
        LogFailure(kLoadFailed, path);
        *outcome = kLoadFailed.outcome;
        return 0;
    }

    ExtensionEntry entry = nullptr;
    {
        const std::string exportName = ExportName(entryName);
        entry = reinterpret_cast<ExtensionEntry>(GetProcAddress(module, exportName.c_str()));
    }
    if (!entry) {
        *outcome = RunOutcome::kNoExport;
        return 0;
    }
    entry(GetCommandLineW());
    *outcome = RunOutcome::kCalled;
    return 1;
}
