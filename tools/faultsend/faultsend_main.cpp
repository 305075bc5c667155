// The reference crash uploader. Started by the launcher's crash hand-off with
// the failing process's fault, it writes a minidump of that process into the
// product's data folder and ends; `--show <dump>` prints what a dump holds.
// It never shows a window (a GUI program that opens none) and says why it
// wrote nothing in one line on standard error.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "dump_store.h"
#include "dump_writer.h"
#include "minidump_reader.h"
#include "stack_walk.h"
#include "product/product_folders.h"
#include "text_output.h"
#include "upload_request.h"
#include "upload_sender.h"

namespace {

constexpr wchar_t kShow[] = L"--show";
constexpr wchar_t kMessagePrefix[] = L"FaultSend: ";

constexpr int kWritten = 0;
constexpr int kNotWritten = 1;
constexpr int kUsage = 2;
constexpr int kGaveUp = 3;

// The failing process waits for this one without a limit, so it must end
// by itself. A dump of a large process takes seconds, not a minute.
constexpr DWORD kBoundMs = 60000;
// The product's data folder lies one level above the failing program's
// folder, as the launcher finds its log.
constexpr int kProductLevel = 1;
// Far larger than a dump this program writes; a larger file is not read whole.
constexpr LONGLONG kLargestShown = 1ll << 30;

int Refuse(int code, const std::wstring& why) {
    TextOutput(STD_ERROR_HANDLE).Write(kMessagePrefix + why + L"\r\n");
    return code;
}

// The sender's own bound lies within this one.
constexpr DWORD kSenderBoundMs = 5 * 60 * 1000;

DWORD WINAPI EndAfterBound(void* bound) {
    const auto ms = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(bound));
    Sleep(ms);
    Refuse(kGaveUp, L"not done within " + std::to_wstring(ms / 1000) + L" s");
    // Ends at once: a temporary file still open goes with its handle, and no
    // DLL's detach code runs while the writing thread may hold its locks.
    TerminateProcess(GetCurrentProcess(), kGaveUp);
    return 0;
}

bool WriteWhole(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

int Upload(int count, const wchar_t* const* arguments) {
    UploadRequest request;
    std::wstring why;
    if (!ParseUploadRequest(count, arguments, request, why)) return Refuse(kUsage, why);
    UniqueHandle watchdog(CreateThread(nullptr, 0, EndAfterBound,
                                       reinterpret_cast<void*>(ULONG_PTR{kBoundMs}), 0, nullptr));
    if (!watchdog) return Refuse(kNotWritten, L"cannot start the thread that bounds its time");

    DumpTarget target;
    if (!OpenDumpTarget(request, target, why)) return Refuse(kNotWritten, why);
    const WString dataFolder =
        FindProductDataFolder(kProductLevel, nullptr, nullptr, target.program.c_str());
    if (dataFolder.IsEmpty())
        return Refuse(kNotWritten, L"no product recognised beside " + target.program);
    const std::wstring folder = std::wstring(dataFolder.c_str()) + L"\\" + kDumpsFolder;
    const int made = SHCreateDirectory(nullptr, folder.c_str());
    if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS && made != ERROR_FILE_EXISTS)
        return Refuse(kNotWritten,
                      L"cannot create " + folder + L" (error " + std::to_wstring(made) + L")");

    SYSTEMTIME now;
    GetLocalTime(&now);
    // The hand-off reports some faults once per hook they pass; a crash
    // service would count each report as a crash of its own.
    const std::wstring first =
        NoteRepeatedFault(folder, request.source, request.pid, request.tid, target.fault, now);
    if (!first.empty())
        return Refuse(kWritten, L"the fault has its dump already: " + folder + L"\\" + first +
                                    kDumpExtension);
    const std::wstring name = DumpStem(request, now), stem = folder + L"\\" + name;
    // The text first, so that a dump that shows under its name has it beside it.
    PendingFile text(stem + kRequestExtension), dump(stem + kDumpExtension);
    if (!text.Handle() || !dump.Handle())
        return Refuse(kNotWritten, L"cannot create a file in " + folder);
    if (!WriteWhole(text.Handle(), Utf8(DescribeRequest(request, target.program, target.fault))))
        return Refuse(kNotWritten, L"cannot write " + stem + kRequestExtension);
    if (!WriteMinidump(target, request, dump.Handle(), why)) return Refuse(kNotWritten, why);
    if (!text.Keep()) return Refuse(kNotWritten, L"cannot name " + stem + kRequestExtension);
    if (!dump.Keep()) {
        // Not checked: a text file left without its dump holds no memory of the process.
        DeleteFileW((stem + kRequestExtension).c_str());
        return Refuse(kNotWritten, L"cannot name " + stem + kDumpExtension);
    }
    KeepNewestDumps(folder, request.source, name);
    // The dump is written and the failing process may go on: the network is
    // the sender's, in a process of its own.
    UploadTarget upload;
    bool uploads = false;
    if (!ReadUploadFile(upload, uploads, why)) return Refuse(kWritten, why);
    if (uploads && !StartSender(folder, why)) return Refuse(kWritten, why);
    return kWritten;
}

int Send(const wchar_t* folder) {
    UniqueHandle watchdog(CreateThread(
        nullptr, 0, EndAfterBound, reinterpret_cast<void*>(ULONG_PTR{kSenderBoundMs}), 0, nullptr));
    if (!watchdog) return Refuse(kNotWritten, L"cannot start the thread that bounds its time");
    return SendWaitingDumps(folder);
}

int Show(const wchar_t* path) {
    UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size))
        return Refuse(kNotWritten, std::wstring(path) + L": cannot be read (error " +
                                       std::to_wstring(GetLastError()) + L")");
    if (size.QuadPart > kLargestShown)
        return Refuse(kNotWritten, std::wstring(path) + L": too large for a minidump");
    std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size()))
        return Refuse(kNotWritten, std::wstring(path) + L": cannot be read whole");
    const minidump::DumpFacts facts = minidump::ReadDump(bytes.data(), bytes.size());
    if (!facts.problem.empty())
        return Refuse(kNotWritten, std::wstring(path) + L": " + Wide(facts.problem));
    // The modules' files, where the dump's paths name them on this machine,
    // mapped while the walk reads their unwind data. A name with an escape
    // or a cut in it is not the path it was.
    const auto images = [&](size_t index) {
        const std::string& name = facts.names[facts.modules[index].name];
        if (name.find("<U+") != std::string::npos || name.find("<cut") != std::string::npos)
            return minidump::ImageBytes();
        UniqueFileHandle image(CreateFileW(Wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER imageSize = {};
        if (!image || !GetFileSizeEx(image.get(), &imageSize) || imageSize.QuadPart > kLargestShown)
            return minidump::ImageBytes();
        UniqueHandle mapping(
            CreateFileMappingW(image.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        void* view = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (!view) return minidump::ImageBytes();
        // Left mapped until the process ends, a few modules at most.
        return minidump::ImageBytes{static_cast<const uint8_t*>(view),
                                    static_cast<size_t>(imageSize.QuadPart)};
    };
    const std::string described =
        minidump::Describe(facts) +
        minidump::DescribeFrames(facts, bytes.data(), bytes.size(), images);
    TextOutput(STD_OUTPUT_HANDLE).Write(Wide(described));
    return kWritten;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    int count = 0;
    UniqueLocal arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!arguments) return Refuse(kUsage, L"cannot read its command line");
    const auto* argv = static_cast<const wchar_t* const*>(arguments.get());
    if (count >= 2 && wcscmp(argv[1], kShow) == 0) {
        if (count != 3) return Refuse(kUsage, L"expected --show <dump file>");
        return Show(argv[2]);
    }
    if (count >= 2 && wcscmp(argv[1], kSend) == 0) {
        if (count != 3) return Refuse(kUsage, L"expected --send <dumps folder>");
        return Send(argv[2]);
    }
    return Upload(count - 1, argv + 1);
}
