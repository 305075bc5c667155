#pragma once

#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <winver.h>

#include <atomic>

// The system DLLs the launcher uses that are not KnownDLLs (comctl32,
// crypt32, version, wintrust). Imported by name, the loader would look for
// them beside the program first, and a DLL planted in an install's bin
// folder would run before main. So they are never imported: each is loaded
// from the system folder on first use and kept until the process ends, and
// each function is looked up once.
//
// The functions below take the place of the imports they are named after.
// When the DLL or the function cannot be had, the call fails as the real one
// reports failure (the result each one names), so every caller keeps its own
// failure path.
//
// Nothing here takes a lock: the publisher check may make its first call
// inside its fault guard, which can abandon a call where it stands. Two
// threads racing on a first use both load and look up the same thing.
namespace syslib {

// `name` (a bare file name) from the system folder only, never from the
// program's folder, the current folder or PATH; its own imports are looked
// for there too. A module of that name already in the process from another
// folder is not taken. Null when it is not there. Each successful call holds
// one more reference.
HMODULE LoadSystemLibrary(const wchar_t* name);

// The way LoadSystemLibrary goes where LOAD_LIBRARY_SEARCH_SYSTEM32 is
// refused (Windows 7 without KB2533623): the full path from
// GetSystemDirectoryW.
HMODULE LoadSystemLibraryByFullPath(const wchar_t* name);

// A system DLL, loaded by LoadSystemLibrary on first use and never released.
class SystemLibrary {
public:
    constexpr explicit SystemLibrary(const wchar_t* name) : name_(name) {}
    // Null when the DLL or the function is missing; a failed load is not
    // tried again.
    FARPROC Find(const char* function);

private:
    const wchar_t* name_;
    std::atomic<HMODULE> module_{nullptr};
    std::atomic<bool> tried_{false};
};

// One function of a SystemLibrary, typed as the SDK declares it and looked up
// on first use.
template <typename Fn>
class SystemFunction {
public:
    constexpr SystemFunction(SystemLibrary& library, const char* name)
        : library_(library), name_(name) {}
    Fn Get() {
        if (!resolved_.load(std::memory_order_acquire)) {
            function_.store(reinterpret_cast<Fn>(library_.Find(name_)), std::memory_order_relaxed);
            resolved_.store(true, std::memory_order_release);
        }
        return function_.load(std::memory_order_relaxed);
    }

private:
    SystemLibrary& library_;
    const char* name_;
    std::atomic<Fn> function_{nullptr};
    std::atomic<bool> resolved_{false};
};

// comctl32. FALSE when missing.
BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls);

// crypt32. 0 / FALSE when missing.
DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT certificate, DWORD type, DWORD flags,
                                void* typeParameter, LPWSTR name, DWORD units);
BOOL WINAPI CryptStringToBinaryA(LPCSTR text, DWORD length, DWORD flags, BYTE* binary, DWORD* size,
                                 DWORD* skipped, DWORD* usedFlags);
BOOL WINAPI CryptBinaryToStringA(const BYTE* binary, DWORD size, DWORD flags, LPSTR text,
                                 DWORD* length);
BOOL WINAPI CryptEncodeObjectEx(DWORD encoding, LPCSTR structType, const void* structInfo,
                                DWORD flags, PCRYPT_ENCODE_PARA encodePara, void* encoded,
                                DWORD* size);
BOOL WINAPI CryptHashCertificate2(LPCWSTR algorithm, DWORD flags, void* reserved,
                                  const BYTE* encoded, DWORD size, BYTE* hash, DWORD* hashSize);
BOOL WINAPI CryptDecodeObjectEx(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD size,
                                DWORD flags, PCRYPT_DECODE_PARA decodePara, void* structInfo,
                                DWORD* structSize);
BOOL WINAPI CryptVerifyCertificateSignatureEx(HCRYPTPROV_LEGACY provider, DWORD encoding,
                                              DWORD subjectType, void* subject, DWORD issuerType,
                                              void* issuer, DWORD flags, void* extra);

// version. 0 / FALSE when missing.
DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR path, DWORD* handle);
BOOL WINAPI GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, void* block);
BOOL WINAPI VerQueryValueW(const void* block, LPCWSTR subBlock, void** value, UINT* size);

// wintrust. TRUST_E_PROVIDER_UNKNOWN / null when missing.
LONG WINAPI WinVerifyTrust(HWND window, GUID* action, LPVOID data);
CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE state);

// The system's own version from ntdll's RtlGetNtVersionNumbers, which no
// compatibility layer shims (GetVersionExW can be made to report an older
// Windows by any program of the user). False, with the numbers untouched,
// when ntdll lacks it.
bool GetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build);

}  // namespace syslib
