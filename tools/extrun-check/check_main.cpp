// extrun-check: says what extrun.exe beside it would do with the same
// arguments, and why, without doing any of it.
//
//   extrun-check --dll=PATH --entry=NAME [--dumpid=NAME] [--exitcode=1]
//   extrun-check --signers
//   extrun-check --log=on|off
//
// Each decision is made by the launcher's own code, as a program in this
// folder makes it; only the image's headers, exports and imports, which the
// launcher leaves to the system loader, are read from the files here.
// Nothing is created, written, loaded for execution or started, but for the
// log's switch file that --log makes or removes. One "key: value" line a
// step, then one "verdict:" line. Exit code 0 when the entry would be
// called, 1 for every other verdict, 2 for a usage error.
#include <windows.h>
#include <shlwapi.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line_options.h"
#include "app/extension_job.h"
#include "app/process_setup.h"
#include "common/escaped_text.h"
#include "common/handles.h"
#include "crash/handoff_settings.h"
#include "crash/uploader_path.h"
#include "file_bytes.h"
#include "image_exports.h"
#include "import_search.h"
#include "log/logger.h"
#include "product_log.h"
#include "product/product_folders.h"
#include "runner/runner.h"
#include "signer_names.h"
#include "text_output.h"
#include "trust/accepted_signers.h"
#include "trust/publisher_check.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage: extrun-check --dll=PATH --entry=NAME [--dumpid=NAME] [--exitcode=1]\n"
    L"       extrun-check --signers\n"
    L"       extrun-check --log=on|off\n"
    L"Run it in the bin folder beside extrun.exe with the launcher's own arguments: it says\n"
    L"what extrun.exe would do with them and why, and does none of it. --signers lists the\n"
    L"publisher names the launcher accepts, one a line. --log=on creates the switch file that\n"
    L"turns the recognised product's log on, --log=off removes it.\n";
constexpr wchar_t kLauncherName[] = L"extrun.exe";

enum ExitCode { kCall = 0, kNoCall = 1, kUsageError = 2 };

// The WinVerifyTrust statuses a user meets, by name.
constexpr struct {
    HRESULT status;
    const wchar_t* name;
} kTrustStatusNames[] = {
    {S_OK, L"ERROR_SUCCESS"},
    {TRUST_E_NOSIGNATURE, L"TRUST_E_NOSIGNATURE"},
    {TRUST_E_BAD_DIGEST, L"TRUST_E_BAD_DIGEST"},
    {TRUST_E_SUBJECT_FORM_UNKNOWN, L"TRUST_E_SUBJECT_FORM_UNKNOWN"},
    {TRUST_E_PROVIDER_UNKNOWN, L"TRUST_E_PROVIDER_UNKNOWN"},
    {TRUST_E_ACTION_UNKNOWN, L"TRUST_E_ACTION_UNKNOWN"},
    {TRUST_E_SUBJECT_NOT_TRUSTED, L"TRUST_E_SUBJECT_NOT_TRUSTED"},
    {TRUST_E_EXPLICIT_DISTRUST, L"TRUST_E_EXPLICIT_DISTRUST"},
    {TRUST_E_CERT_SIGNATURE, L"TRUST_E_CERT_SIGNATURE"},
    {TRUST_E_TIME_STAMP, L"TRUST_E_TIME_STAMP"},
    {TRUST_E_BASIC_CONSTRAINTS, L"TRUST_E_BASIC_CONSTRAINTS"},
    {TRUST_E_FINANCIAL_CRITERIA, L"TRUST_E_FINANCIAL_CRITERIA"},
    {TRUST_E_SYSTEM_ERROR, L"TRUST_E_SYSTEM_ERROR"},
    {TRUST_E_FAIL, L"TRUST_E_FAIL"},
    {CERT_E_UNTRUSTEDROOT, L"CERT_E_UNTRUSTEDROOT"},
    {CERT_E_EXPIRED, L"CERT_E_EXPIRED"},
    {CERT_E_CHAINING, L"CERT_E_CHAINING"},
    {CERT_E_REVOKED, L"CERT_E_REVOKED"},
    {CERT_E_REVOCATION_FAILURE, L"CERT_E_REVOCATION_FAILURE"},
    {CERT_E_UNTRUSTEDTESTROOT, L"CERT_E_UNTRUSTEDTESTROOT"},
    {CERT_E_WRONG_USAGE, L"CERT_E_WRONG_USAGE"},
    {CERT_E_PURPOSE, L"CERT_E_PURPOSE"},
    {CERT_E_MALFORMED, L"CERT_E_MALFORMED"},
    {CERT_E_VALIDITYPERIODNESTING, L"CERT_E_VALIDITYPERIODNESTING"},
    {CERT_E_CRITICAL, L"CERT_E_CRITICAL"},
    {CERT_E_ISSUERCHAINING, L"CERT_E_ISSUERCHAINING"},
    {CRYPT_E_FILE_ERROR, L"CRYPT_E_FILE_ERROR"},
    {CRYPT_E_REVOKED, L"CRYPT_E_REVOKED"},
    {CRYPT_E_SECURITY_SETTINGS, L"CRYPT_E_SECURITY_SETTINGS"},
    {E_ACCESSDENIED, L"E_ACCESSDENIED"},
    {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"ERROR_FILE_NOT_FOUND"},
    {HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), L"ERROR_SHARING_VIOLATION"},
};

std::wstring Printf(const wchar_t* format, ...) {
    wchar_t text[64];
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(text, 63, format, args);
    va_end(args);
    text[63] = 0;
    return n < 0 ? std::wstring() : std::wstring(text);
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

bool IsFile(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class Report {
public:
    explicit Report(const TextOutput& out) : out_(out) {}
    void Line(const wchar_t* key, const std::wstring& value) const {
        out_.Write(std::wstring(key) + L": " + value + L"\r\n");
    }

private:
    const TextOutput& out_;
};

// This program's path, and its folder, which is the launcher's.
std::wstring OwnPath() {
    PathBuffer path = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring OwnFolder() {
    PathBuffer folder = {};
    CopyBounded(folder, OwnPath().c_str());
    PathRemoveFileSpecW(folder);
    return folder;
}

// The launcher's process holds the modules this one does (both import the same DLLs, set the
// process up alike and load the same from the system folder before the load), but for the main
// program: extrun.exe there, this program here. The launcher's image is mapped as data only, to
// be compared with the extension's file as the launcher compares its own module.
HMODULE WINAPI LauncherModule(const wchar_t* name) {
    if (_wcsicmp(name, kLauncherName) == 0) {
        static const HMODULE launcher = [] {
            const auto image = reinterpret_cast<uintptr_t>(
                LoadLibraryExW((OwnFolder() + L"\\" + kLauncherName).c_str(), nullptr,
                               LOAD_LIBRARY_AS_IMAGE_RESOURCE));
            // The low bits mark a data mapping; without the launcher, this program stands in.
            return image ? reinterpret_cast<HMODULE>(image & ~uintptr_t{3})
                         : GetModuleHandleW(nullptr);
        }();
        return launcher;
    }
    if (_wcsicmp(name, PathFindFileNameW(OwnPath().c_str())) == 0) return nullptr;
    return GetModuleHandleW(name);
}

void ReportInstall(const Report& report, const WString& dataFolder, int productId,
                   const PathBuffer& marker) {
    const std::wstring own = OwnFolder();
    const std::wstring launcher = own + L"\\" + kLauncherName;
    report.Line(L"launcher",
                launcher + (IsFile(launcher.c_str())
                                ? L" (there)"
                                : L" (not there; the answers hold for one put there)"));

    if (productId) {
        report.Line(L"product", std::wstring(ProductName(productId)) + L" (" +
                                    std::to_wstring(productId) +
                                    L"), recognised by its main program " + marker);
    } else {
        PathBuffer parent = {};
        CopyBounded(parent, own.c_str());
        PathRemoveFileSpecW(parent);
        report.Line(L"product",
                    std::wstring(L"none: no known product's main program in ") + parent);
    }
    if (dataFolder.IsEmpty())
        report.Line(L"data folder", L"none, as no product is recognised");
    else
        report.Line(L"data folder",
                    std::wstring(dataFolder.c_str()) +
                        (PathFileExistsW(dataFolder.c_str())
                             ? L" (exists)"
                             : L" (missing; the launcher creates it, this check does not)"));

    const WString logPath = ExtensionLogPath(dataFolder);
    const std::wstring switchFile = LogUtils::SwitchFilePath(logPath.c_str());
    report.Line(L"log", std::wstring(logPath.c_str()) +
                            (dataFolder.IsEmpty() ? L" on the current drive" : L"") +
                            (PathFileExistsW(switchFile.c_str())
                                 ? L"; switch file there: logging on"
                                 : L"; no switch file " + switchFile + L": logging off"));
}

void ReportPlan(const Report& report, const WString& dll, const WString& dumpId,
                const ExtensionJobPlan& plan) {
    std::wstring line;
    if (dll.IsEmpty()) {
        line = L"none given";
    } else {
        line = EscapeControls(plan.dllPath.c_str());
        if (plan.dllPath != dll) line += L" (the legacy name LNCH.tpi replaced)";
        const bool relative = PathIsRelativeW(plan.dllPath.c_str());
        line += L" -> " + EscapeControls(plan.resolved);
        if (!relative && plan.dllPath.Length() >= MAX_PATH)
            line += L" (cut to " + std::to_wstring(MAX_PATH - 1) + L" units)";
        if (relative && !plan.resolved[0])
            line += L"nothing (joined to the install folder it passes 259 units)";
        line += IsFile(plan.resolved)            ? L" (exists)"
                : PathFileExistsW(plan.resolved) ? L" (a folder)"
                                                 : L" (missing)";
    }
    report.Line(L"dll", line);
    report.Line(L"version", plan.version.IsEmpty()
                                ? L"none (no file or no version resource): crash reports carry none"
                                : std::wstring(plan.version.c_str()));
    // As the crash hand-off keeps it for the uploader.
    decltype(HandOffSettings::source) source = {};
    CopyBounded(source, plan.crashSource.c_str());
    std::wstring origin = plan.crashSource == dumpId ? L" (from --dumpid" : L"";
    if (plan.crashSource.Length() >= std::size(source))
        origin += L"; the uploader gets its first " + std::to_wstring(std::size(source) - 1) +
                  L" of " + std::to_wstring(plan.crashSource.Length()) + L" units";
    report.Line(L"crash source", source + origin + (origin.empty() ? L"" : L")"));
    PathBuffer uploader = {};
    ChooseUploader(uploader);
    report.Line(
        L"uploader",
        uploader + std::wstring(IsFile(uploader)
                                    ? L" (there)"
                                    : L" (not there: a crash would be reported to nobody)"));
}

std::wstring StatusText(LONG status) {
    std::wstring name = L"an unknown status";
    for (const auto& known : kTrustStatusNames)
        if (known.status == status) name = known.name;
    return Printf(L"0x%08lX ", static_cast<unsigned long>(status)) + name;
}

void ReportSignature(const Report& report, const FailureRecord* refusal, bool held, DWORD holdError,
                     const PublisherCheckDetails& details) {
    if (refusal == &kNothingToRun || refusal == &kFileMissing) {
        report.Line(L"signature", refusal == &kNothingToRun ? L"not checked: nothing to run"
                                                            : L"not checked: no such file");
        report.Line(L"signer", L"not read");
        return;
    }
    if (!held) {
        report.Line(L"signature",
                    L"not checked: the file cannot be held against changes (Windows error " +
                        std::to_wstring(holdError) +
                        (holdError == ERROR_SHARING_VIOLATION
                             ? L": another program has it open for writing)"
                             : L")"));
        report.Line(L"signer", L"not read");
        return;
    }
    if (details.skipped) {
        report.Line(L"signature",
                    L"not checked: this Windows is older than version 6, where every file passes");
        report.Line(L"signer", L"not read");
        return;
    }
    if (!details.verified) {
        report.Line(L"signature", L"the check faulted before WinVerifyTrust answered: refused");
        report.Line(L"signer", L"not read");
        return;
    }
    report.Line(L"signature", StatusText(details.status) +
                                  (details.statusTolerated ? L", tolerated" : L", refused"));
    if (!details.statusTolerated) {
        report.Line(L"signer", L"not read, as the status refuses the file");
        return;
    }
    if (!details.signerRead) {
        report.Line(L"signer", L"none read: no signer certificate, or a name of 511 units or more");
        return;
    }
    const std::wstring signer = details.signer;
    if (details.signerAccepted) {
        report.Line(L"signer", Quoted(ShowUnits(signer)) + L", accepted");
    } else if (const NearestSigner nearest = NearestAcceptedSigner(signer); nearest.closeEnough) {
        report.Line(L"signer", Quoted(ShowUnits(signer)) + L", not accepted; nearest accepted " +
                                   Quoted(ShowUnits(nearest.name)) + L" differs in " +
                                   nearest.difference);
    } else {
        report.Line(L"signer", Quoted(ShowUnits(signer)) +
                                   L", not accepted; no accepted name is near it "
                                   L"(extrun-check --signers lists them)");
    }
    if (details.pinCount == 0)
        report.Line(L"pin", L"none: this build pins no publisher keys, names alone decide");
    else if (details.matchedPin[0])
        report.Line(L"pin", std::wstring(details.matchedPin) + L" matched, of " +
                                std::to_wstring(details.pinCount) + L" pinned");
    else
        report.Line(L"pin",
                    L"none of the " + std::to_wstring(details.pinCount) + L" pinned keys matched");
}

// The launcher passes over a DLL that exports the entry only under a decorated name, as C++ and
// 32-bit __stdcall functions are named unless declared otherwise; the author's fix is in the hint.
void ReportDecoratedEntry(const Report& report, const image::ByteSource& file,
                          const image::ImageFacts& facts, const WString& entry) {
    const image::DecoratedExport found = image::FindDecoratedExport(file, facts, ExportName(entry));
    const wchar_t* hint = nullptr;
    switch (found.decoration) {
        case image::Decoration::kNone:
            return;
        case image::Decoration::kCpp:
            hint = L" is a C++ name for it: declare the entry extern \"C\"";
            break;
        case image::Decoration::kStdcall:
            hint = L" is a __stdcall name for it: export the entry undecorated";
            break;
        case image::Decoration::kLetterCase:
            hint = L" differs from it in letter case: export names are matched exactly";
            break;
    }
    report.Line(L"entry",
                Quoted(entry.c_str()) + L" not exported; " + Quoted(Widen(found.name)) + hint);
}

// What the import search found: every DLL found or missing, or that the check cannot tell.
enum class ImportsFound { kAll, kMissing, kUnknown };

// The DLLs the extension needs from outside the system and where the loader finds each; the
// first 64 are listed, and every missing one. One missing makes LoadLibraryW fail.
ImportsFound ReportImports(const Report& report, const wchar_t* path,
                           const std::vector<std::string>& imports) {
    constexpr size_t kListed = 64;
    const ImportSearch search = FindImports(path, imports, OwnFolder());
    const std::vector<FoundImport>& found = search.found;
    if (found.empty() && !search.unfinished) report.Line(L"imports", L"system DLLs only");
    bool all = true;
    size_t listed = 0;
    for (const FoundImport& import : found) {
        if (import.place != ImportPlace::kMissing && ++listed > kListed) continue;
        std::wstring line =
            import.name.empty() ? L"(a name that cannot be read)" : EscapeControls(import.name);
        if (import.importer != PathFindFileNameW(path))
            line += L" (for " + EscapeControls(import.importer) + L")";
        if (import.place != ImportPlace::kMissing) {
            // In the order of ImportPlace.
            constexpr const wchar_t* kPlaces[] = {L"the launcher's folder", L"the Windows folder",
                                                  L"the current folder", L"a folder of PATH"};
            line += L": " + import.path + L" (" + kPlaces[static_cast<int>(import.place)] + L")";
        } else {
            all = false;
            line +=
                L": missing: not in the launcher's folder, the system or Windows folders, the "
                L"current folder or a folder of PATH";
            if (!import.path.empty())
                line += L"; " + import.path +
                        L" lies beside the extension, where the loader does not look";
        }
        report.Line(L"import", line);
    }
    if (listed > kListed)
        report.Line(L"imports", std::to_wstring(listed - kListed) + L" more found, not listed");
    if (search.unfinished) {
        report.Line(L"imports",
                    L"more than 1024 names, which the check does not search to the end");
        return ImportsFound::kUnknown;
    }
    return all ? ImportsFound::kAll : ImportsFound::kMissing;
}

// Where a pin matched, whether the chain up to it keeps every rule, or which certificate breaks
// which rule.
void ReportPinnedChain(const Report& report, const PublisherCheckDetails& details) {
    const std::wstring pinned = std::to_wstring(details.pinnedAt);
    if (details.brokenLink < 0)
        report.Line(L"chain", L"every certificate from the signer's (0) to the pinned one (" +
                                  pinned + L") keeps every rule");
    else
        report.Line(L"chain", L"certificate " + std::to_wstring(details.brokenLink) + L" " +
                                  Quoted(ShowUnits(details.brokenName)) +
                                  L" (the signer's is 0, the pinned one " + pinned +
                                  L") breaks the rule: " + details.brokenRule + L"; refused");
}

// The name the launcher would hand the loader, or why there is none.
void ReportLoadName(const Report& report, const HeldExtension& held) {
    const wchar_t* why = nullptr;
    switch (held.loadRefusal) {
        case LoadNameRefusal::kNone:
            if (held.loadName[0]) report.Line(L"load", held.loadName);
            return;
        case LoadNameRefusal::kFolders:
            why =
                L"the folders on the file's final path cannot be held (a junction or link on it, "
                L"a path over 259 units, or no drive letter)";
            break;
        case LoadNameRefusal::kForm:
            why = L"a device or volume name, or one too long once completed";
            break;
        case LoadNameRefusal::kStream:
            why = L"an alternate data stream, which no check tells apart from its file";
            break;
        case LoadNameRefusal::kOtherFile:
            why = L"the name, read as the loader reads it, opens another file or none";
            break;
        case LoadNameRefusal::kModuleLoaded:
            why = L"a module of that name is already loaded, and the loader would hand it out";
            break;
    }
    report.Line(L"load", std::wstring(L"refused: ") + why);
}

struct ImageVerdict {
    bool loadable = false;
    bool exportFound = false;
    image::ImportTable imports;
    // Where a forwarded entry leads; kFound also where the entry is no forwarder.
    ForwardEnd forward = ForwardEnd::kFound;
};

ImageVerdict ReportImage(const Report& report, const wchar_t* path, HANDLE held,
                         const WString& entry) {
    ImageVerdict verdict;
    // Readers only; a program writing the file does not keep it from being
    // read here.
    UniqueFileHandle own;
    if (!held)
        own.reset(CreateFileW(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held && !own) {
        report.Line(L"image", L"not read: no file that can be opened");
        return verdict;
    }
    const FileBytes file(held ? held : own.get());
    const image::ImageFacts facts = image::ReadImageFacts(file);
    if (!facts.problem.empty()) {
        report.Line(L"image", L"not loadable: " + Widen(facts.problem));
        return verdict;
    }
    const std::wstring machine = Widen(image::MachineName(facts.machine));
    std::wstring line =
        (facts.magic == 0x20B ? L"64-bit" : L"32-bit") +
        (machine.empty() ? Printf(L" (machine 0x%04X)", facts.machine) : L" (" + machine + L")") +
        (facts.isDll ? L", a DLL" : L", not a DLL (a program)");
    verdict.loadable = image::LoadableIn64BitProcess(facts);
    if (!verdict.loadable) {
        report.Line(L"image", line + L": a 64-bit process cannot load it");
        return verdict;
    }
    verdict.imports = image::ImportedDlls(file, facts);
    if (entry.IsEmpty()) {
        report.Line(L"image", line + L"; no --entry to look for");
        return verdict;
    }
    const image::ExportLookup lookup = image::FindExport(file, facts, ExportName(entry));
    const std::wstring name = Quoted(entry.c_str());
    switch (lookup.result) {
        case image::ExportResult::kFound:
            line += L"; exports " + name;
            verdict.exportFound = true;
            break;
        case image::ExportResult::kForwarded: {
            const ForwardTrail trail = FollowForwarder(path, ExportName(entry), lookup.forwardedTo,
                                                       lookup.forwarderWhole, OwnFolder());
            line += L"; exports " + name + L", forwarded" + trail.steps;
            verdict.forward = trail.end;
            verdict.exportFound = trail.end == ForwardEnd::kFound;
            break;
        }
        case image::ExportResult::kMissing:
            line += L"; no export " + name + L" among its " + std::to_wstring(lookup.namedExports) +
                    L" named exports";
            break;
        case image::ExportResult::kDamaged:
            line += L"; its export table points outside the image, no export " + name;
            break;
    }
    report.Line(L"image", line);
    if (lookup.result == image::ExportResult::kMissing)
        ReportDecoratedEntry(report, file, facts, entry);
    return verdict;
}

}  // namespace

int wmain(int argc, wchar_t**) {
    const TextOutput out(STD_OUTPUT_HANDLE), errors(STD_ERROR_HANDLE);
    CommandLineOptions options;
    options.Load(GetCommandLineW());
    WString entry, dumpId, dll, param, exitCode, ignored;
    options.GetValue(kOptionExitCode, exitCode);
    options.GetValue(kOptionEntry, entry);
    options.GetValue(kOptionDumpId, dumpId);
    options.GetValue(kOptionDll, dll);
    options.GetValue(kOptionParam, param);
    if (options.GetValue(L"--help", ignored) || options.GetValue(L"-h", ignored) ||
        options.GetValue(L"/?", ignored)) {
        out.Write(kUsage);
        return kCall;
    }
    if (argc < 2) {
        errors.Write(kUsage);
        return kUsageError;
    }
    if (options.GetValue(L"--signers", ignored)) {
        for (const SignerNameAccessor name : AcceptedSignerNames)
            out.Write(std::wstring(name()) + L"\r\n");
        return kCall;
    }
    WString log;
    if (options.GetValue(L"--log", log)) {
        if (log != L"on" && log != L"off") {
            errors.Write(kUsage);
            return kUsageError;
        }
        std::wstring said;
        const bool switched = SwitchLog(log == L"on", &said);
        Report(out).Line(L"log", said);
        return switched ? kCall : kNoCall;
    }
    if (!param.IsEmpty()) {
        errors.Write(
            L"extrun-check: --param makes the launcher relaunch itself with the command line in\n"
            L"the package, which runs no extension here; check that command line instead\n"
            L"(extrun-pack --dump=... shows it).\n");
        return kUsageError;
    }

    PrepareProcess();
    const Report report(out);
    int productId = 0;
    PathBuffer marker = {};
    const WString dataFolder = FindProductDataFolder(kProductLevel, &productId, &marker);
    ReportInstall(report, dataFolder, productId, marker);

    ExtensionJobPlan plan;
    PlanExtensionJob(dll, dumpId, plan);
    ReportPlan(report, dll, dumpId, plan);

    PathBuffer path = {};
    HeldExtension held;
    PublisherCheckDetails details = {};
    const FailureRecord* refusal =
        CheckBeforeLoad(plan.dllPath, entry, path, held, &details, LauncherModule);
    // Read before anything else can set it: why the file could not be held.
    const HANDLE hold = held.file.get();
    const DWORD holdError = held.file ? ERROR_SUCCESS : GetLastError();
    ReportSignature(report, refusal, static_cast<bool>(held.file), holdError, details);
    if (details.matchedPin[0]) ReportPinnedChain(report, details);
    ReportLoadName(report, held);

    ImageVerdict image;
    if (refusal == &kNothingToRun)
        report.Line(L"image", L"not read: nothing to run");
    else if (refusal == &kFileMissing)
        report.Line(L"image", L"not read: no file");
    else
        image = ReportImage(report, path, hold != INVALID_HANDLE_VALUE ? hold : nullptr, entry);

    // The loader maps the image and its imports before the entry is looked up. What it does
    // with a file made to break it is no outcome of the launcher's: the process ends in a fault,
    // or the check cannot tell.
    const wchar_t* crash = nullptr;
    const wchar_t* unknown = nullptr;
    if (!refusal && image.loadable) {
        if (image.imports.outside) {
            report.Line(L"imports", L"the import directory or a name in it lies outside the image");
            crash =
                L"0xC0000005 (an access violation in the loader, reading the import "
                L"directory)";
        } else if (image.imports.unread) {
            unknown = L"more import descriptors than the file has room for";
        } else {
            const ImportsFound found = ReportImports(report, path, image.imports.dlls);
            if (found == ImportsFound::kMissing) refusal = &kLoadFailed;
            if (found == ImportsFound::kUnknown) unknown = L"more imported DLLs than it searches";
        }
    }
    if (!refusal && !image.loadable) refusal = &kLoadFailed;
    if (!refusal && !crash && !unknown && image.forward == ForwardEnd::kLoop)
        crash = L"0xC00000FD (a stack overflow in the loader, following forwarders in a loop)";
    if (!refusal && !crash && !unknown && image.forward == ForwardEnd::kUnknown)
        unknown = L"where the forwarders of the entry end";
    if (crash || unknown) {
        report.Line(L"exit code", crash ? std::wstring(L"none: the process ends in ") + crash
                                        : std::wstring(L"cannot tell"));
        report.Line(L"verdict",
                    crash ? L"crash in the loader" : std::wstring(L"cannot tell: ") + unknown);
        return kNoCall;
    }
    std::wstring verdict;
    RunOutcome outcome = RunOutcome::kCalled;
    if (refusal) {
        outcome = refusal->outcome;
        verdict = refusal == &kNothingToRun
                      ? L"nothing (empty --dll or --entry)"
                      : std::wstring(L"refused ") + refusal->message + EscapeControls(path);
    } else if (!image.exportFound) {
        outcome = RunOutcome::kNoExport;
        verdict = std::wstring(L"no export ") + entry.c_str();
    } else {
        verdict = std::wstring(L"call ") + entry.c_str();
    }
    const std::wstring code = std::to_wstring(static_cast<int>(outcome));
    report.Line(L"exit code", WantsOutcomeExitCode(exitCode)
                                  ? code + L", as --exitcode=1 asks"
                                  : L"0 (with --exitcode=1: " + code + L")");
    report.Line(L"verdict", verdict);
    return outcome == RunOutcome::kCalled ? kCall : kNoCall;
}
