#include "dump_writer.h"

#include <dbghelp.h>

#include <algorithm>
#include <vector>

#include "common/system_library.h"

namespace {

// MiniDumpWriteDump reads memory and asks what the process is; the thread
// list it opens itself.
constexpr DWORD kProcessRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
// Stacks, the memory they point at, each thread's times and the modules the
// process had unloaded: what a debugger needs to walk the faulting thread
// and read what its frames point at, without the process's whole memory.
constexpr auto kDumpType = static_cast<MINIDUMP_TYPE>(
    MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);

std::wstring WithError(const std::wstring& text) {
    return text + L" (error " + std::to_wstring(GetLastError()) + L")";
}

template <typename T>
bool ReadRemote(HANDLE process, const void* at, T& value) {
    SIZE_T read = 0;
    return ReadProcessMemory(process, at, &value, sizeof(value), &read) && read == sizeof(value);
}

bool AtOffset(HANDLE file, ULONGLONG offset, void* bytes, DWORD size, bool write) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    return (write ? WriteFile(file, bytes, size, &done, &at)
                  : ReadFile(file, bytes, size, &done, &at)) &&
           done == size;
}

// A CodeView record as linkers write it (a PDB 7.0 name or a build id):
// "RSDS", a GUID, an age and a file name ending in NUL.
constexpr DWORD kRsds = 0x53445352;
constexpr DWORD kShortestRecord = 24 + 1;
constexpr DWORD kLongestRecord = 24 + MAX_PATH;
constexpr DWORD kMostDebugEntries = 16;
constexpr ULONG32 kMinidumpSignature = 0x504D444D;  // "MDMP"

// The module's CodeView record, read from its debug directory in the failing
// process, whose memory may be anything: empty when there is none to trust.
std::string RemoteDebugRecord(HANDLE process, ULONG64 base) {
    const auto* image = reinterpret_cast<const BYTE*>(base);
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS64 headers = {};
    if (!ReadRemote(process, image, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew <= 0 || dos.e_lfanew > 4096 ||
        !ReadRemote(process, image + dos.e_lfanew, headers) ||
        headers.Signature != IMAGE_NT_SIGNATURE ||
        headers.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        headers.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DEBUG)
        return {};
    const IMAGE_DATA_DIRECTORY debug =
        headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const DWORD entries =
        std::min<DWORD>(debug.Size / sizeof(IMAGE_DEBUG_DIRECTORY), kMostDebugEntries);
    for (DWORD i = 0; i < entries; ++i) {
        IMAGE_DEBUG_DIRECTORY entry = {};
        if (!ReadRemote(process, image + debug.VirtualAddress + i * sizeof(entry), entry)) break;
        if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || !entry.AddressOfRawData ||
            entry.SizeOfData < kShortestRecord || entry.SizeOfData > kLongestRecord)
            continue;
        std::string record(entry.SizeOfData, '\0');
        SIZE_T read = 0;
        if (ReadProcessMemory(process, image + entry.AddressOfRawData, record.data(), record.size(),
                              &read) &&
            read == record.size() && *reinterpret_cast<const DWORD*>(record.data()) == kRsds &&
            record.back() == '\0')
            return record;
    }
    return {};
}

// Wine's MiniDumpWriteDump writes no module's CodeView record (Windows'
// does): without one, no debugger or crash service finds the module's
// symbols. Each module that has none gets the one in its debug directory,
// added at the end of the file. A dump this cannot read is left as written.
void AddMissingDebugRecords(HANDLE process, HANDLE file) {
    static_assert(sizeof(MINIDUMP_MODULE) == 108, "the module entry as the file holds it");
    MINIDUMP_HEADER header = {};
    if (!AtOffset(file, 0, &header, sizeof(header), false) ||
        header.Signature != kMinidumpSignature || header.NumberOfStreams > 64)
        return;
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY stream = {};
        ULONG32 count = 0;
        if (!AtOffset(file, header.StreamDirectoryRva + ULONGLONG{i} * sizeof(stream), &stream,
                      sizeof(stream), false))
            return;
        if (stream.StreamType != ModuleListStream ||
            !AtOffset(file, stream.Location.Rva, &count, sizeof(count), false))
            continue;
        // Read and written back whole: an entry is where its type puts it.
        std::vector<MINIDUMP_MODULE> modules(std::min<ULONG32>(count, 4096));
        const ULONGLONG listAt = stream.Location.Rva + sizeof(count);
        const auto bytes = static_cast<DWORD>(modules.size() * sizeof(MINIDUMP_MODULE));
        LARGE_INTEGER end = {};
        if (!AtOffset(file, listAt, modules.data(), bytes, false) || !GetFileSizeEx(file, &end))
            return;
        ULONGLONG appendAt = end.QuadPart;
        for (MINIDUMP_MODULE& module : modules) {
            std::string record;
            if (module.CvRecord.DataSize ||
                (record = RemoteDebugRecord(process, module.BaseOfImage)).empty())
                continue;
            appendAt = (appendAt + 3) / 4 * 4;
            if (appendAt + record.size() > MAXDWORD ||
                !AtOffset(file, appendAt, record.data(), static_cast<DWORD>(record.size()), true))
                break;
            module.CvRecord = {static_cast<ULONG32>(record.size()), static_cast<RVA>(appendAt)};
            appendAt += record.size();
        }
        // Not checked: a list not written back leaves the dump as written, with records past
        // its end that nothing points at.
        AtOffset(file, listAt, modules.data(), bytes, true);
    }
}

}  // namespace

bool OpenDumpTarget(const UploadRequest& request, DumpTarget& target, std::wstring& why) {
    const std::wstring process = L"process " + std::to_wstring(request.pid);
    target.process.reset(OpenProcess(kProcessRights, FALSE, request.pid));
    DWORD exitCode = 0;
    if (!target.process) {
        why = WithError(process + L" cannot be opened: it is gone, or not this user's");
        return false;
    }
    if (!GetExitCodeProcess(target.process.get(), &exitCode) || exitCode != STILL_ACTIVE) {
        why = process + L" has ended";
        return false;
    }
    UniqueHandle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, request.tid));
    if (!thread || GetProcessIdOfThread(thread.get()) != request.pid) {
        why = L"thread " + std::to_wstring(request.tid) + L" is not a thread of " + process;
        return false;
    }
    EXCEPTION_POINTERS pointers = {};
    EXCEPTION_RECORD record;
    CONTEXT context;
    if (!ReadRemote(target.process.get(), reinterpret_cast<const void*>(request.pep), pointers) ||
        !ReadRemote(target.process.get(), pointers.ExceptionRecord, record) ||
        !ReadRemote(target.process.get(), pointers.ContextRecord, context)) {
        why = L"no fault record at --pep=" + std::to_wstring(request.pep) + L" in " + process;
        return false;
    }
    FILETIME started, ended, kernel, user;
    if (!GetProcessTimes(target.process.get(), &started, &ended, &kernel, &user)) {
        why = WithError(L"the start time of " + process + L" is not known");
        return false;
    }
    wchar_t fault[96] = {};
    _snwprintf(
        fault, 95, L"%lu-%llu-%lu-%08lX-%llX", request.pid,
        ULARGE_INTEGER{{started.dwLowDateTime, started.dwHighDateTime}}.QuadPart, request.tid,
        record.ExceptionCode,
        static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress)));
    target.fault = fault;
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!QueryFullProcessImageNameW(target.process.get(), 0, path, &length)) {
        why = WithError(L"the program of " + process + L" is not known");
        return false;
    }
    target.program = path;
    return true;
}

bool WriteMinidump(const DumpTarget& target, const UploadRequest& request, HANDLE file,
                   std::wstring& why) {
    // Kept until the process ends; dbghelp is no KnownDLL, so an import or a
    // plain load could take a copy planted beside this program.
    const HMODULE dbghelp = syslib::LoadSystemLibrary(L"dbghelp.dll");
    const auto write = dbghelp ? reinterpret_cast<decltype(&::MiniDumpWriteDump)>(
                                     GetProcAddress(dbghelp, "MiniDumpWriteDump"))
                               : nullptr;
    if (!write) {
        why = WithError(L"the system's dbghelp.dll has no MiniDumpWriteDump");
        return false;
    }
    // Wine's MiniDumpWriteDump, for a process the symbol handler does not
    // know yet, first loads every module's symbols and then stores every
    // function's unwind data as a memory block of its own: over 20,000
    // blocks and 8 to 18 s a dump. Known, with no modules, the process is
    // dumped in about a second. Not checked: without it the dump is only
    // slower.
    const auto initialize =
        reinterpret_cast<decltype(&::SymInitializeW)>(GetProcAddress(dbghelp, "SymInitializeW"));
    if (initialize) initialize(target.process.get(), nullptr, FALSE);
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = request.tid;
    exception.ExceptionPointers = reinterpret_cast<EXCEPTION_POINTERS*>(request.pep);
    // The address is the failing process's: dbghelp reads the record there.
    exception.ClientPointers = TRUE;
    if (!write(target.process.get(), request.pid, file, kDumpType, &exception, nullptr, nullptr)) {
        why = WithError(L"MiniDumpWriteDump failed");
        return false;
    }
    AddMissingDebugRecords(target.process.get(), file);
    return true;
}
