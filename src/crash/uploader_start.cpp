#include "crash/uploader_start.h"

#include <shellapi.h>

#include <cstdio>

#include "crash/handoff_settings.h"
#include "crash/uploader_path.h"

namespace {

// Taken by msvcrt's own _snwprintf, where %s is a wide string.
constexpr wchar_t kArgumentFormat[] = L"--pep=%llu --pid=%d --tid=%d --src=%s --ver=%s --rep=%d";
constexpr wchar_t kRestartArgument[] = L" --restart";

static_assert(sizeof(SHELLEXECUTEINFOW) == 112, "ShellExecuteExW is given the 64-bit structure");

}  // namespace

// Written while arming, read by every start.
HandOffSettings handOffSettings = {};

// Runs with the loader lock held, possibly on a faulting thread and with the
// heap exhausted: the caller keeps `start` on its stack. Everything it calls
// comes from the import table (KnownDLLs only, bound before main) and the
// version text was read before arming, so no DLL is looked for here; keep
// common/system_library out of this path.
bool PrepareUploaderStart(EXCEPTION_POINTERS* pointers, DWORD threadId, UploaderStart& start) {
    if (!ChooseUploader(start.uploader)) return false;
    constexpr size_t kRoom = sizeof(start.arguments) / sizeof(start.arguments[0]) - 1;
    _snwprintf(start.arguments, kRoom, kArgumentFormat,
               static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(pointers)),
               static_cast<int>(GetCurrentProcessId()), static_cast<int>(threadId),
               handOffSettings.source, handOffSettings.version, handOffSettings.rep);
    if (handOffSettings.restart)
        wcsncat(start.arguments, kRestartArgument, kRoom - wcslen(start.arguments));
    return true;
}

HANDLE StartPreparedUploader(const UploaderStart& start) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = start.uploader;
    info.lpParameters = start.arguments;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) return nullptr;
    return info.hProcess;
}

bool IsOneUploaderArgument(const wchar_t* text) {
    for (; text && *text; ++text)
        if (*text <= L' ' || *text == L'"') return false;
    return true;
}
