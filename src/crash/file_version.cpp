#include "crash/file_version.h"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>

#include "common/system_library.h"

namespace {

// Plain integers without a lock: only the main thread asks, before the
// extension runs.
int IsWindows10OrLater = 0;
int IsWindows10OrLaterUndetermined = 1;
int IsNative64BitSystem = 0;
int IsNative64BitSystemUndetermined = 1;

constexpr wchar_t kTranslationBlock[] = L"\\VarFileInfo\\Translation";
constexpr wchar_t kFileVersionBlockFormat[] = L"\\StringFileInfo\\%04x%04x\\FileVersion";
constexpr wchar_t kRootBlock[] = L"\\";
constexpr wchar_t kFixedVersionFormat[] = L"%d.%d.%d.%d";

using GetNativeSystemInfoFn = void(WINAPI*)(SYSTEM_INFO* info);
using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE process, USHORT* processMachine,
                                        USHORT* nativeMachine);

// GetVersionExW lies without a compatibility manifest; ntdll's own numbers
// do not.
void DetermineIsWindows10OrLater() {
    DWORD major = 0, minor = 0, build = 0;
    if (syslib::GetNtVersionNumbers(&major, &minor, &build) &&
        CountsAsWindows10OrLater(major, minor))
        IsWindows10OrLater = 1;
    IsWindows10OrLaterUndetermined = 0;
}

void DetermineIsNative64BitSystem() {
    const auto getNativeSystemInfo = reinterpret_cast<GetNativeSystemInfoFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNativeSystemInfo"));
    if (getNativeSystemInfo) {
        SYSTEM_INFO info = {};
        getNativeSystemInfo(&info);
        switch (info.wProcessorArchitecture) {
            case PROCESSOR_ARCHITECTURE_IA64:
            case PROCESSOR_ARCHITECTURE_AMD64:
            case PROCESSOR_ARCHITECTURE_ARM64:
                IsNative64BitSystem = 1;
                break;
            default: {
                // An emulated process on ARM64 may be shown a 32-bit machine.
                const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Fn>(
                    GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process2"));
                USHORT processMachine = 0, nativeMachine = 0;
                if (isWow64Process2 &&
                    isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine))
                    IsNative64BitSystem = nativeMachine == IMAGE_FILE_MACHINE_ARM64 ? 1 : 0;
                break;
            }
        }
    }
    IsNative64BitSystemUndetermined = 0;
}

// Looks for the FileVersion text of the first translation that has one and
// cleans it up ("1, 2" -> "1.2"). False when no translation has one.
bool FindStringTableFileVersion(const void* block, WString& text) {
    void* value = nullptr;
    UINT size = 0;
    if (!syslib::VerQueryValueW(block, kTranslationBlock, &value, &size) || !value || size < 4)
        return false;

    const WORD* translations = static_cast<const WORD*>(value);
    const UINT count = size / 4;
    for (UINT i = 0; i < count; ++i) {
        const WString subBlock =
            WString::Format(kFileVersionBlockFormat, translations[2 * i], translations[2 * i + 1]);
        void* found = nullptr;
        UINT length = 0;
        if (!syslib::VerQueryValueW(block, subBlock.c_str(), &found, &length)) continue;
        // The reported length bounds the read even if the terminator is missing.
        const wchar_t* chars = static_cast<const wchar_t*>(found);
        text = chars ? WString(chars, wcsnlen(chars, length)) : WString();
        text.Replace(L",", L".");
        text.Remove(L' ');
        return true;
    }
    return false;
}

}  // namespace

bool CountsAsWindows10OrLater(unsigned long major, unsigned long minor) {
    return (major == 6 && minor == 4) || major >= 10;
}

SystemVersionFlags ReadSystemVersionFlags() {
    return {IsWindows10OrLater, IsNative64BitSystem, IsWindows10OrLaterUndetermined == 0,
            IsNative64BitSystemUndetermined == 0};
}

void SetSystemVersionFlagsForTesting(int isWindows10OrLater, int isNative64BitSystem) {
    IsWindows10OrLater = isWindows10OrLater;
    IsWindows10OrLaterUndetermined = 0;
    IsNative64BitSystem = isNative64BitSystem;
    IsNative64BitSystemUndetermined = 0;
}

bool GetFileVersionString(const WString& path, WString& version) {
    DWORD handle = 0;
    const DWORD size = syslib::GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return false;
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[size]);
    if (!block) return false;
    if (!syslib::GetFileVersionInfoW(path.c_str(), handle, size, block.get())) return false;

    if (IsWindows10OrLaterUndetermined) DetermineIsWindows10OrLater();
    if (IsWindows10OrLater && IsNative64BitSystemUndetermined) DetermineIsNative64BitSystem();

    bool result = false;
    if (IsWindows10OrLater && !IsNative64BitSystem &&
        FindStringTableFileVersion(block.get(), version)) {
        if (!version.IsEmpty()) return true;
        // A blank text still counts as written; the fixed version replaces it
        // when there is one.
        result = true;
    }

    void* value = nullptr;
    UINT valueSize = 0;
    if (syslib::VerQueryValueW(block.get(), kRootBlock, &value, &valueSize) && value &&
        valueSize >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        version = WString::Format(kFixedVersionFormat, HIWORD(fixed->dwFileVersionMS),
                                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                                  LOWORD(fixed->dwFileVersionLS));
        result = true;
    }
    return result;
}
