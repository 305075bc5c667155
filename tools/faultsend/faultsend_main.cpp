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
#include "product/product_folders.h"
#include "text_output.h"
#include "upload_request.h"

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

DWORD WINAPI EndAfterBound(void*) {
    Sleep(kBoundMs);
    Refuse(kGaveUp, L"no dump written within " + std::to_wstring(kBoundMs / 1000) + L" s");
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

std::string Utf8(const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(static_cast<size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr)));
    return bytes;
}

std::wstring Wide(const std::string& utf8) {
    std::wstring text(utf8.size(), L'\0');
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                                        static_cast<int>(utf8.size()), text.data(),
                                                        static_cast<int>(text.size()))));
    return text;
}

int Upload(int count, const wchar_t* const* arguments) {
    UploadRequest request;
    std::wstring why;
    if (!ParseUploadRequest(count, arguments, request, why)) return Refuse(kUsage, why);
    UniqueHandle watchdog(CreateThread(nullptr, 0, EndAfterBound, nullptr, 0, nullptr));
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
    const std::wstring name = DumpStem(request, now), stem = folder + L"\\" + name;
    // The text first, so that a dump that shows under its name has it beside it.
    PendingFile text(stem + kRequestExtension), dump(stem + kDumpExtension);
    if (!text.Handle() || !dump.Handle())
        return Refuse(kNotWritten, L"cannot create a file in " + folder);
    if (!WriteWhole(text.Handle(), Utf8(DescribeRequest(request, target.program))))
        return Refuse(kNotWritten, L"cannot write " + stem + kRequestExtension);
    if (!WriteMinidump(target, request, dump.Handle(), why)) return Refuse(kNotWritten, why);
    if (!text.Keep()) return Refuse(kNotWritten, L"cannot name " + stem + kRequestExtension);
    if (!dump.Keep()) {
        // Not checked: a text file left without its dump holds no memory of the process.
        DeleteFileW((stem + kRequestExtension).c_str());
        return Refuse(kNotWritten, L"cannot name " + stem + kDumpExtension);
    }
    KeepNewestDumps(folder, request.source, name);
    return kWritten;
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
    const std::string described = minidump::Describe(facts);
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
    return Upload(count - 1, argv + 1);
}
