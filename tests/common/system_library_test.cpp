#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <string>
#include <tuple>

#include "common/system_library.h"
#include "test_support.h"

namespace {

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring SystemPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

// ext_record.dll lies beside this program and nowhere in the system folder,
// so a load that searched the program's folder would find it.
TEST(SystemLibrary, ComesFromTheSystemFolderOnlyEitherWay) {
    const std::tuple<const char*, HMODULE (*)(const wchar_t*)> ways[] = {
        {"search flag", &syslib::LoadSystemLibrary},
        {"full path", &syslib::LoadSystemLibraryByFullPath},
    };
    for (const auto& [way, load] : ways) {
        const HMODULE version = load(L"version.dll");
        ASSERT_NE(nullptr, version) << way;
        EXPECT_EQ(0, _wcsicmp(SystemPath(L"version.dll").c_str(), ModulePath(version).c_str()))
            << way;
        EXPECT_EQ(nullptr, load(L"ext_record.dll")) << way;
    }
    // Paths compare without case: a DLL loaded by its path in capitals is the system's.
    std::wstring upper = SystemPath(L"MSACM32.DLL");
    const HMODULE loaded = LoadLibraryW(CharUpperW(&upper[0]));
    EXPECT_EQ(loaded, syslib::LoadSystemLibrary(L"msacm32.dll")) << ModulePath(loaded);
}

// The loader hands out a loaded module by its name alone; msimg32.dll is a
// system DLL that nothing else in this process loads.
TEST(SystemLibrary, TakesNoModuleOfTheSameNameLoadedFromElsewhere) {
    testsupport::TempDir folder;
    ASSERT_TRUE(
        testsupport::CopyTo(testsupport::BinPath(L"ext_record.dll"), folder / L"msimg32.dll"));
    const HMODULE planted = LoadLibraryW((folder / L"msimg32.dll").c_str());
    ASSERT_NE(nullptr, planted);
    // Windows loads the system's copy beside it; Wine has no second copy to give.
    const HMODULE module = syslib::LoadSystemLibrary(L"msimg32.dll");
    EXPECT_NE(planted, module);
    EXPECT_TRUE(module || testsupport::IsWine());
    if (module) {
        EXPECT_EQ(0, _wcsicmp(SystemPath(L"msimg32.dll").c_str(), ModulePath(module).c_str()));
    }
    FreeLibrary(planted);
}

TEST(SystemFunction, IsNullWhenItsLibraryOrItsNameIsMissing) {
    const std::tuple<const wchar_t*, const char*, bool> cases[] = {
        {L"version.dll", "VerQueryValueW", true},
        {L"version.dll", "VerQueryValueX", false},
        {L"ext_record.dll", "Run", false},
        {L"no_such_library.dll", "VerQueryValueW", false},
    };
    for (const auto& [name, function, found] : cases) {
        syslib::SystemLibrary library(name);
        syslib::SystemFunction<decltype(&::VerQueryValueW)> pointer(library, function);
        EXPECT_EQ(found, pointer.Get() != nullptr) << function;
    }
}

}  // namespace
