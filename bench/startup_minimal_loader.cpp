// The least a verifying launcher must do: one WinVerifyTrust verify and
// close on the DLL, LoadLibraryW, GetProcAddress and the call. Built four
// times: with EXTRUN_BENCH_VERIFY, without it (the bare loader), with
// EXTRUN_BENCH_STARTUP as well, which adds the launcher's own start-up calls
// into COM, the window manager, common controls and the shell, so the cost
// of those platform DLLs can be told apart from the launcher's own, and with
// EXTRUN_BENCH_IDLE_THREAD on top, which starts one thread that only waits
// (EXTRUN_BENCH_IDLE_THREAD=2: two, as the crash hand-off starts its watcher
// and its own thread), so that their cost shows apart too.
// wintrust and comctl32 are not KnownDLLs: imported by name they would be
// looked for beside the program first, so these loaders, like the launcher,
// take them from the system folder at run time.
//   startup_minimal_loader.exe <dll path> <export>
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdlib>

#ifdef EXTRUN_BENCH_STARTUP
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#endif

template <typename Fn>
Fn SystemFunction(const wchar_t* library, const char* name) {
    const HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? reinterpret_cast<Fn>(GetProcAddress(module, name)) : nullptr;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
#ifdef EXTRUN_BENCH_STARTUP
    CoInitialize(nullptr);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    const auto initCommonControlsEx =
        SystemFunction<decltype(&InitCommonControlsEx)>(L"comctl32.dll", "InitCommonControlsEx");
    if (initCommonControlsEx) initCommonControlsEx(&controls);
    wchar_t folder[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, FALSE);
#endif
#ifdef EXTRUN_BENCH_IDLE_THREAD
    // The hand-off's: 1 MiB reserved, waiting on an event until the process ends.
    const HANDLE idle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < EXTRUN_BENCH_IDLE_THREAD; ++i) {
        const HANDLE thread = CreateThread(
            nullptr, 1024 * 1024,
            [](void* event) -> DWORD {
                return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
            },
            idle, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (!idle || !thread) return 6;
        CloseHandle(thread);
    }
#endif
#ifdef EXTRUN_BENCH_VERIFY
    const auto verify =
        SystemFunction<decltype(&WinVerifyTrust)>(L"wintrust.dll", "WinVerifyTrust");
    if (!verify) return 3;
    WINTRUST_FILE_INFO file = {sizeof(file), argv[1], nullptr, nullptr};
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = verify(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify(nullptr, &action, &data);
    if (status != 0) return 3;
#endif
    HMODULE module = LoadLibraryW(argv[1]);
    if (!module) return 4;
    char name[256] = {};
    WideCharToMultiByte(CP_ACP, 0, argv[2], -1, name, sizeof(name), nullptr, nullptr);
    auto entry = reinterpret_cast<void(__stdcall*)(const wchar_t*)>(GetProcAddress(module, name));
    if (!entry) return 5;
    entry(GetCommandLineW());
#ifdef EXTRUN_BENCH_STARTUP
    CoUninitialize();
#endif
    return 0;
}
