#include "common/system_library.h"

#include <shlwapi.h>

#include "common/handles.h"

namespace syslib {

namespace {

bool IsInSystemFolder(HMODULE module) {
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    const DWORD pathLength = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || pathLength == 0 || pathLength >= MAX_PATH)
        return false;
    PathRemoveFileSpecW(path);
    return CompareStringOrdinal(folder, -1, path, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

HMODULE LoadSystemLibrary(const wchar_t* name) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
    if (module && IsInSystemFolder(module)) return module;
    // The loader hands out a module already in the process by its name
    // before it searches anywhere, wherever that module came from. Such a
    // copy is not taken: the system folder's own is loaded by its full path
    // instead, and where the loader still hands out the other one (Wine
    // does), there is none.
    if (module) FreeLibrary(module);
    module = LoadSystemLibraryByFullPath(name);
    if (module && !IsInSystemFolder(module)) {
        FreeLibrary(module);
        module = nullptr;
    }
    return module;
}

HMODULE LoadSystemLibraryByFullPath(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !PathAppendW(path, name)) return nullptr;
    // A full path alone would still let the DLL's own imports (wintrust's
    // crypt32, say) be searched for beside the program first; the altered
    // search path starts that search in the DLL's folder, the system folder.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC SystemLibrary::Find(const char* function) {
    if (!tried_.load(std::memory_order_acquire)) {
        // Kept for the life of the process, as the functions taken from it are.
        module_.store(LoadSystemLibrary(name_), std::memory_order_relaxed);
        tried_.store(true, std::memory_order_release);
    }
    const HMODULE module = module_.load(std::memory_order_relaxed);
    return module ? GetProcAddress(module, function) : nullptr;
}

namespace {

SystemLibrary comctl32(L"comctl32.dll");
SystemLibrary crypt32(L"crypt32.dll");
SystemLibrary version(L"version.dll");
SystemLibrary wintrust(L"wintrust.dll");

// decltype of the SDK's own declarations: the types cannot drift from them,
// and naming a function here does not import it.
SystemFunction<decltype(&::InitCommonControlsEx)> initCommonControlsEx(comctl32,
                                                                       "InitCommonControlsEx");
SystemFunction<decltype(&::CertGetNameStringW)> certGetNameString(crypt32, "CertGetNameStringW");
SystemFunction<decltype(&::CryptStringToBinaryA)> cryptStringToBinary(crypt32,
                                                                      "CryptStringToBinaryA");
SystemFunction<decltype(&::CryptBinaryToStringA)> cryptBinaryToString(crypt32,
                                                                      "CryptBinaryToStringA");
SystemFunction<decltype(&::CryptEncodeObjectEx)> cryptEncodeObjectEx(crypt32,
                                                                     "CryptEncodeObjectEx");
SystemFunction<decltype(&::CryptHashCertificate2)> cryptHashCertificate2(crypt32,
                                                                         "CryptHashCertificate2");
SystemFunction<decltype(&::CryptDecodeObjectEx)> cryptDecodeObjectEx(crypt32,
                                                                     "CryptDecodeObjectEx");
SystemFunction<decltype(&::CryptVerifyCertificateSignatureEx)> cryptVerifyCertificateSignatureEx(
    crypt32, "CryptVerifyCertificateSignatureEx");
SystemFunction<decltype(&::GetFileVersionInfoSizeW)> getFileVersionInfoSize(
    version, "GetFileVersionInfoSizeW");
SystemFunction<decltype(&::GetFileVersionInfoW)> getFileVersionInfo(version, "GetFileVersionInfoW");
SystemFunction<decltype(&::VerQueryValueW)> verQueryValue(version, "VerQueryValueW");
SystemFunction<decltype(&::WinVerifyTrust)> winVerifyTrust(wintrust, "WinVerifyTrust");
SystemFunction<decltype(&::WTHelperProvDataFromStateData)> provDataFromStateData(
    wintrust, "WTHelperProvDataFromStateData");

}  // namespace

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls) {
    const auto call = initCommonControlsEx.Get();
    return call ? call(controls) : FALSE;
}

DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT certificate, DWORD type, DWORD flags,
                                void* typeParameter, LPWSTR name, DWORD units) {
    const auto call = certGetNameString.Get();
    return call ? call(certificate, type, flags, typeParameter, name, units) : 0;
}

BOOL WINAPI CryptStringToBinaryA(LPCSTR text, DWORD length, DWORD flags, BYTE* binary, DWORD* size,
                                 DWORD* skipped, DWORD* usedFlags) {
    const auto call = cryptStringToBinary.Get();
    return call ? call(text, length, flags, binary, size, skipped, usedFlags) : FALSE;
}

BOOL WINAPI CryptBinaryToStringA(const BYTE* binary, DWORD size, DWORD flags, LPSTR text,
                                 DWORD* length) {
    const auto call = cryptBinaryToString.Get();
    return call ? call(binary, size, flags, text, length) : FALSE;
}

BOOL WINAPI CryptEncodeObjectEx(DWORD encoding, LPCSTR structType, const void* structInfo,
                                DWORD flags, PCRYPT_ENCODE_PARA encodePara, void* encoded,
                                DWORD* size) {
    const auto call = cryptEncodeObjectEx.Get();
    return call ? call(encoding, structType, structInfo, flags, encodePara, encoded, size) : FALSE;
}

BOOL WINAPI CryptHashCertificate2(LPCWSTR algorithm, DWORD flags, void* reserved,
                                  const BYTE* encoded, DWORD size, BYTE* hash, DWORD* hashSize) {
    const auto call = cryptHashCertificate2.Get();
    return call ? call(algorithm, flags, reserved, encoded, size, hash, hashSize) : FALSE;
}

BOOL WINAPI CryptDecodeObjectEx(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD size,
                                DWORD flags, PCRYPT_DECODE_PARA decodePara, void* structInfo,
                                DWORD* structSize) {
    const auto call = cryptDecodeObjectEx.Get();
    return call ? call(encoding, structType, encoded, size, flags, decodePara, structInfo,
                       structSize)
                : FALSE;
}

BOOL WINAPI CryptVerifyCertificateSignatureEx(HCRYPTPROV_LEGACY provider, DWORD encoding,
                                              DWORD subjectType, void* subject, DWORD issuerType,
                                              void* issuer, DWORD flags, void* extra) {
    const auto call = cryptVerifyCertificateSignatureEx.Get();
    return call ? call(provider, encoding, subjectType, subject, issuerType, issuer, flags, extra)
                : FALSE;
}

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR path, DWORD* handle) {
    const auto call = getFileVersionInfoSize.Get();
    return call ? call(path, handle) : 0;
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, void* block) {
    const auto call = getFileVersionInfo.Get();
    return call ? call(path, handle, size, block) : FALSE;
}

BOOL WINAPI VerQueryValueW(const void* block, LPCWSTR subBlock, void** value, UINT* size) {
    const auto call = verQueryValue.Get();
    return call ? call(block, subBlock, value, size) : FALSE;
}

LONG WINAPI WinVerifyTrust(HWND window, GUID* action, LPVOID data) {
    const auto call = winVerifyTrust.Get();
    return call ? call(window, action, data) : static_cast<LONG>(TRUST_E_PROVIDER_UNKNOWN);
}

CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE state) {
    const auto call = provDataFromStateData.Get();
    return call ? call(state) : nullptr;
}

bool GetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) {
    using RtlGetNtVersionNumbersFn = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
    // ntdll is mapped into every process before any code runs and is a
    // KnownDLL, so this load finds nothing but the copy already there.
    UniqueModule ntdll(LoadLibraryW(L"ntdll.dll"));
    if (!ntdll) return false;
    const auto getNumbers = reinterpret_cast<RtlGetNtVersionNumbersFn>(
        GetProcAddress(ntdll.get(), "RtlGetNtVersionNumbers"));
    if (!getNumbers) return false;
    getNumbers(major, minor, build);
    return true;
}

}  // namespace syslib
