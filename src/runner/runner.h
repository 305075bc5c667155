#pragma once

#include <cstdint>
#include <string>

#include "common/handles.h"
#include "common/path_buffer.h"
#include "common/wstring.h"
#include "runner/held_path.h"
#include "trust/publisher_check.h"

// What became of an extension, each outcome under the exit code that
// --exitcode=1 gives the launcher for it.
enum class RunOutcome : int {
    kCalled = 0,
    kNothingToRun = 10,  // an empty --dll or --entry, refused before any check
    kFileMissing = 11,
    kPublisherRefused = 12,
    kLoadFailed = 13,
    kNoExport = 14,
};

// Finds, checks, loads and calls one extension export.
class ExtensionRunner {
public:
    // 1 when the entry was called and returned, 0 otherwise; `outcome`,
    // when given, receives which.
    int Run(const WString& dllPath, const WString& entryName, RunOutcome* outcome = nullptr);
};

// A refusal of the loader: its log record carries `line` and the message,
// followed directly by the resolved path. A refusal without a message is
// not logged.
struct FailureRecord {
    uint32_t line;
    const wchar_t* message;
    RunOutcome outcome;
};
inline constexpr FailureRecord kNothingToRun{0, nullptr, RunOutcome::kNothingToRun};
inline constexpr FailureRecord kFileMissing{32, L"PathFileExists: ", RunOutcome::kFileMissing};
inline constexpr FailureRecord kPublisherRefused{37, L"HasMsSign Failed: ",
                                                 RunOutcome::kPublisherRefused};
inline constexpr FailureRecord kLoadFailed{44, L"LoadLibrary Failed: ", RunOutcome::kLoadFailed};

// What the loader keeps from its check to its load: the file, held against
// writing, renaming and deletion; where keys are pinned, the folders above
// it; and the name the loader is given, which reaches that file.
struct HeldExtension {
    UniqueFileHandle file;
    HeldPath folders;
    PathBuffer loadName = {};
    // Why no such name could be had, when that refused the file.
    LoadNameRefusal loadRefusal = LoadNameRefusal::kNone;
};

// The loader's steps before the load, which change nothing: an empty path or
// entry name, the path resolved into `path`, the file's existence, holding it
// against changes, its publisher and a name that loads it. Null when the file
// may be loaded by `held.loadName`; `held` keeps it as it was checked until
// it is released. `details`, when given, receives what the publisher check
// found; `loaded` finds the modules already in the launcher's process.
const FailureRecord* CheckBeforeLoad(const WString& dllPath, const WString& entryName,
                                     PathBuffer& path, HeldExtension& held,
                                     PublisherCheckDetails* details,
                                     LoadedModuleLookup loaded = GetModuleHandleW);

// The name GetProcAddress is asked for: the entry name in the thread's ANSI
// code page, the code page's default character standing in for what it
// cannot represent.
std::string ExportName(const WString& entryName);
