#include "dump_writer.h"

#include <dbghelp.h>

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
    return true;
}
