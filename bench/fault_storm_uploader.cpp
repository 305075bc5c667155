// The fault storm's uploader, started as FaultSend.exe: reads the fault record at --pep in process
// --pid, holds 50 ms, and writes faultsend-<its own pid>.txt beside itself: the thread it was told,
// whether it could read the record, whether another uploader for that process ran as it started
// (a named mutex each holds), whether the process was still alive when it was done, and how long
// it ran.
#include <windows.h>

#include <cwchar>
#include <string>

#include "test_support.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const ULONGLONG started = GetTickCount64();
    ULONG_PTR pep = 0;
    DWORD pid = 0, tid = 0;
    if (const wchar_t* at = wcsstr(GetCommandLineW(), L" --pep="))
        swscanf(at, L" --pep=%llu --pid=%lu --tid=%lu", &pep, &pid, &tid);
    const HANDLE running =
        CreateMutexW(nullptr, FALSE, (L"extrun-storm-" + std::to_wstring(pid)).c_str());
    const bool alone = running && GetLastError() != ERROR_ALREADY_EXISTS;
    const HANDLE process = OpenProcess(PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
    EXCEPTION_POINTERS pointers = {};
    EXCEPTION_RECORD record = {};
    const bool read =
        ReadProcessMemory(process, reinterpret_cast<void*>(pep), &pointers, sizeof(pointers),
                          nullptr) &&
        ReadProcessMemory(process, pointers.ExceptionRecord, &record, sizeof(record), nullptr);
    Sleep(50);
    const bool alive = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    testsupport::WriteBytes(
        testsupport::BinPath(L"faultsend-" + std::to_wstring(GetCurrentProcessId()) + L".txt"),
        "tid=" + std::to_string(tid) + "\r\nread=" + std::to_string(read) +
            "\r\nalone=" + std::to_string(alone) + "\r\nalive=" + std::to_string(alive) +
            "\r\nms=" + std::to_string(GetTickCount64() - started) + "\r\n");
    return 0;
}
