// The shipped programs as a release engineer and a security reviewer look at them, and what their
// hardening does to a program that overruns a buffer.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

struct ReleaseProgram {
    const wchar_t* file;
    const wchar_t* path;  // in bin/
    const wchar_t* description;
    size_t sizeBudget;  // 0: none
};
const ReleaseProgram kReleasePrograms[] = {
#include "release_programs.inc"
};

// The system takes these from its own folder whatever lies beside the
// program; any other DLL imported by name could be planted there.
const char* const kKnownDlls[] = {"kernel32.dll", "user32.dll", "shell32.dll",
                                  "shlwapi.dll",  "ole32.dll",  "msvcrt.dll"};
constexpr WORD kHardened =
    IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
    IMAGE_DLLCHARACTERISTICS_NX_COMPAT | IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE;

std::wstring Dotted(DWORD high, DWORD low) {
    return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
           std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
}

// What one program file shows, by rule. A rule that could not be looked at
// is missing, which no expectation matches.
std::map<std::string, std::wstring> Inspect(const ReleaseProgram& program) {
    std::map<std::string, std::wstring> found;
    const std::wstring path = BinPath(program.path);
    std::string bytes;
    if (!ReadBytes(path, &bytes)) return found;
    found["over size budget"] = program.sizeBudget && bytes.size() > program.sizeBudget
                                    ? std::to_wstring(bytes.size()) + L" bytes"
                                    : L"";
    found["build folders inside"] = L"";
    for (const char* folder : {BUILD_FOLDERS}) {
        const std::wstring wide = FromUtf8(folder);
        const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
        if (bytes.find(folder) != std::string::npos || bytes.find(utf16) != std::string::npos)
            found["build folders inside"] += wide + L" ";
    }

    // Mapped as the loader maps an image (the low bits of the handle say how).
    std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> module(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE), &FreeLibrary);
    const auto* base =
        reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(module.get()) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE) return found;
    const auto& nt = *reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    found["DllCharacteristics"] = std::to_wstring(nt.OptionalHeader.DllCharacteristics & kHardened);
    found["time stamp"] = std::to_wstring(nt.FileHeader.TimeDateStamp);
    // What a minidump records of the module, and a debugger or crash service matches its
    // symbols by: a CodeView record ("RSDS", a 16-byte id, an age), with the symbols beside.
    found["CodeView record"] = L"";
    const auto& debug = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const auto* entries = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY*>(base + debug.VirtualAddress);
    for (size_t i = 0; debug.VirtualAddress && i < debug.Size / sizeof(*entries); ++i)
        if (entries[i].Type == IMAGE_DEBUG_TYPE_CODEVIEW && entries[i].AddressOfRawData &&
            entries[i].SizeOfData >= 24)
            found["CodeView record"] =
                FromUtf8(std::string(reinterpret_cast<const char*>(base) +
                                         entries[i].AddressOfRawData, 4));
    // The debug file is built as reproducibly as the program: no time in its header either.
    std::string debugFile;
    found["debug file beside it"] = L"missing";
    if (ReadBytes(path + L".debug", &debugFile) && debugFile.size() >= 0x40) {
        DWORD header = 0, stamp = 1;
        memcpy(&header, debugFile.data() + 0x3C, sizeof(header));
        if (header <= debugFile.size() - 12) memcpy(&stamp, debugFile.data() + header + 8, 4);
        found["debug file beside it"] = L"there, time stamp " + std::to_wstring(stamp);
    }
    found["imports outside KnownDLLs"] = L"";
    const auto& imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.Size && d->Name; ++d) {
        const char* name = reinterpret_cast<const char*>(base + d->Name);
        bool known = false;
        for (const char* dll : kKnownDlls) known = known || lstrcmpiA(name, dll) == 0;
        if (!known) found["imports outside KnownDLLs"] += FromUtf8(name) + L" ";
    }

    std::string manifest;
    if (HRSRC resource = FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST)) {
        const void* text = LockResource(LoadResource(module.get(), resource));
        if (text)
            manifest.assign(static_cast<const char*>(text), SizeofResource(module.get(), resource));
    }
    const size_t level = manifest.find("<requestedExecutionLevel ");
    if (level != std::string::npos)
        found["execution level"] =
            FromUtf8(manifest.substr(level, manifest.find("/>", level) - level));
    // Settings that would change what the system tells the launcher and the
    // extensions in its process.
    found["settings changing the system's answers"] = L"";
    for (const char* setting : {"compatibility", "dependency", "windowsSettings", "dpiAware",
                                "longPathAware", "activeCodePage"})
        if (manifest.find(setting) != std::string::npos)
            found["settings changing the system's answers"] += FromUtf8(setting) + L" ";

    DWORD ignored = 0;
    std::vector<BYTE> version(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    if (version.empty() ||
        !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(version.size()), version.data()))
        return found;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(version.data(), L"\\", &value, &length) &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto& fixed = *static_cast<const VS_FIXEDFILEINFO*>(value);
        found["fixed versions"] = Dotted(fixed.dwFileVersionMS, fixed.dwFileVersionLS) + L" " +
                                  Dotted(fixed.dwProductVersionMS, fixed.dwProductVersionLS);
    }
    for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                             "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"})
        if (VerQueryValueW(version.data(),
                           (L"\\StringFileInfo\\040904b0\\" + FromUtf8(name)).c_str(), &value,
                           &length))
            found[name] = std::wstring(static_cast<const wchar_t*>(value),
                                       wcsnlen(static_cast<const wchar_t*>(value), length));
    return found;
}

}  // namespace

TEST(ReleaseBuild, ShippedProgramsKeepEveryBinaryRule) {
    for (const auto& program : kReleasePrograms) {
        const std::wstring file = program.file, version = VERSION;
        const std::map<std::string, std::wstring> expected = {
            {"imports outside KnownDLLs", L""},
            {"DllCharacteristics", std::to_wstring(kHardened)},
            {"time stamp", L"0"},
            {"CodeView record", L"RSDS"},
            {"debug file beside it", L"there, time stamp 0"},
            {"fixed versions", version + L" " + version},
            {"CompanyName", COMPANY},
            {"FileDescription", program.description},
            {"FileVersion", version},
            {"InternalName", file.substr(0, file.rfind(L'.'))},
            {"LegalCopyright", COPYRIGHT},
            {"OriginalFilename", file},
            {"ProductName", PRODUCT},
            {"ProductVersion", version},
            {"execution level", L"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\""},
            {"settings changing the system's answers", L""},
            {"build folders inside", L""},
            {"over size budget", L""},
        };
        auto found = Inspect(program);
        for (const auto& [rule, value] : expected)
            EXPECT_EQ(found.count(rule) ? found[rule] : L"<not found>", value)
                << ToUtf8(file) << ": " << rule;
    }
}

// Overruns of an 8-byte buffer: a loop past a local array, caught by the stack guard on return,
// and a copy past a global one, refused by the checked copy. The lengths come at run time.
namespace {
char global[8];
__attribute__((noinline)) void PastLocal(size_t n) {
    char local[8];
    volatile char* p = local;
    for (size_t i = 0; i < n; ++i) p[i] = 'x';
}
__attribute__((noinline)) void PastGlobal(size_t n) { memcpy(global, "0123456789abcdef", n); }
}  // namespace

TEST(ReleaseBuild, AnOverrunEndsTheProgramAtOnce) {
    volatile size_t in = 8, past = 16;
    PastLocal(in);
    PastGlobal(in);
    const auto overrun = testing::ExitedWithCode(static_cast<int>(STATUS_STACK_BUFFER_OVERRUN));
    EXPECT_EXIT(PastLocal(past), overrun, "");
    EXPECT_EXIT(PastGlobal(past), overrun, "");
}

extern "C" std::uintptr_t __stack_chk_guard;

// The guard is seeded from the random source. The mix used without one leaves its top 17 bits
// zero (ids, counters and user addresses stay below 2^47), as a random guard is once in 131,072.
TEST(ReleaseBuild, TheStackGuardComesFromTheRandomSource) {
    EXPECT_NE(__stack_chk_guard >> 47, 0u);
}
