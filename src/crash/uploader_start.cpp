#include "crash/uploader_start.h"

#include <cstdio>
#include <cwchar>
#include <iterator>

#include "crash/handoff_settings.h"
#include "crash/uploader_path.h"

namespace {

// Taken by msvcrt's own _snwprintf while arming, where %s is a wide string.
constexpr wchar_t kPidFormat[] = L" --pid=%d --tid=";
constexpr wchar_t kTailFormat[] = L" --src=%s --ver=%s --rep=%d";
constexpr wchar_t kRestartArgument[] = L" --restart";

// An uploader ended because nobody awaits it.
constexpr UINT kEndedUnawaitedCode = ERROR_PROCESS_ABORTED;

// Process lifetime, all of it: written while arming, only read by starts.
UploaderPlaces places = {};
wchar_t pidPart[32] = {};
// Two 259-unit texts and some 40 units of names and numbers.
wchar_t tailPart[640] = {};
// Every uploader is started in this job, so that one whose starter was ended
// inside CreateProcessW (made, its thread never resumed) can still be found
// and ended. Its children leave it by themselves.
HANDLE uploaderJob = nullptr;
HANDLE jobList[1] = {};
alignas(16) unsigned char attributeRoom[128];
LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;

// The command line: the quoted program, then the arguments; the last unit
// stays zero.
struct Command {
    wchar_t text[1024];
    size_t length = 0;

    void Append(const wchar_t* part) {
        for (; *part && length + 1 < std::size(text); ++part) text[length++] = *part;
        text[length] = 0;
    }
    void AppendNumber(ULONGLONG value) {
        wchar_t digits[21] = {};
        size_t at = std::size(digits) - 1;
        do digits[--at] = static_cast<wchar_t>(L'0' + value % 10);
        while (value /= 10);
        Append(digits + at);
    }
};

void MakeUploaderJob() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    // An uploader still in the job when this process ends, however it ends
    // (TerminateProcess, or ExitProcess ending the starter first), is one
    // nobody awaits: it goes with the job's last handle, this process's.
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        return;
    }
    uploaderJob = job;
    // Placing the process in the job as it is made (Windows 10 on, and Wine)
    // leaves no moment in which it runs, or waits, outside it. A job nests in
    // one this process may be in.
    SIZE_T size = sizeof(attributeRoom);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeRoom);
    jobList[0] = job;
    if (InitializeProcThreadAttributeList(list, 1, 0, &size) &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobList, sizeof(jobList),
                                  nullptr, nullptr))
        attributes = list;
}

HANDLE CreateUploader(const wchar_t* program, Command& command) {
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = attributes ? sizeof(startup) : sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION made = {};
    // No handle is inherited, the environment and the current folder are
    // this process's; CreateProcessW shows no error of its own.
    if (!CreateProcessW(program, command.text, nullptr, nullptr, FALSE,
                        attributes ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
                        &startup.StartupInfo, &made))
        return nullptr;
    CloseHandle(made.hThread);
    return made.hProcess;
}

}  // namespace

// Written while arming, read by every start.
HandOffSettings handOffSettings = {};

void PrepareUploaderStarts() {
    ListUploaderPlaces(places);
    _snwprintf(pidPart, std::size(pidPart) - 1, kPidFormat,
               static_cast<int>(GetCurrentProcessId()));
    _snwprintf(tailPart, std::size(tailPart) - 1, kTailFormat, handOffSettings.source,
               handOffSettings.version, handOffSettings.rep);
    if (handOffSettings.restart)
        wcsncat(tailPart, kRestartArgument, std::size(tailPart) - 1 - wcslen(tailPart));
    MakeUploaderJob();
}

// Runs with the loader lock held, possibly on a faulting thread with little
// stack left and the heap held by another: the command line is put together
// on the stack from the parts made while arming, with no run-time call.
HANDLE StartUploader(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    const int place = PickUploader(places);
    if (place < 0) return nullptr;
    Command command;
    command.Append(L"\"");
    command.Append(places[place]);
    command.Append(L"\" --pep=");
    command.AppendNumber(reinterpret_cast<ULONG_PTR>(pointers));
    command.Append(pidPart);
    command.AppendNumber(threadId);
    command.Append(tailPart);
    const HANDLE process = CreateUploader(places[place], command);
    // Before Windows 10 there is no placing it in the job as it is made; put
    // there now, an uploader whose starter is ended before this line is not
    // found again. A failure does the same.
    if (process && !attributes && uploaderJob) AssignProcessToJobObject(uploaderJob, process);
    return process;
}

void EndStartedUploaders() {
    // Fails only without a job, where there is nothing to end.
    if (uploaderJob) TerminateJobObject(uploaderJob, kEndedUnawaitedCode);
}

bool IsOneUploaderArgument(const wchar_t* text) {
    for (; text && *text; ++text)
        if (*text <= L' ' || *text == L'"') return false;
    return true;
}
