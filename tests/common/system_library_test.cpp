#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <string>

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
    const struct {
        const char* way;
        HMODULE (*load)(const wchar_t*);
    } ways[] = {
        {"search flag", &syslib::LoadSystemLibrary},
        {"full path", &syslib::LoadSystemLibraryByFullPath},
    };
    for (const auto& w : ways) {
        const HMODULE version = w.load(L"version.dll");
        ASSERT_NE(nullptr, version) << w.way;
        EXPECT_EQ(0, _wcsicmp(SystemPath(L"version.dll").c_str(), ModulePath(version).c_str()))
            << w.way;
        EXPECT_EQ(nullptr, w.load(L"ext_record.dll")) << w.way;
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
    if (module) {
        EXPECT_EQ(0, _wcsicmp(SystemPath(L"msimg32.dll").c_str(), ModulePath(module).c_str()));
    }
    FreeLibrary(planted);
}

TEST(SystemFunction, IsNullWhenItsLibraryOrItsNameIsMissing) {
    const struct {
        const wchar_t* library;
        const char* function;
        bool found;
    } cases[] = {
        {L"version.dll", "VerQueryValueW", true},
        {L"version.dll", "VerQueryValueX", false},
        {L"ext_record.dll", "Run", false},
        {L"no_such_library.dll", "VerQueryValueW", false},
    };
    for (const auto& c : cases) {
        syslib::SystemLibrary library(c.library);
        syslib::SystemFunction<decltype(&::VerQueryValueW)> function(library, c.function);
        EXPECT_EQ(c.found, function.Get() != nullptr) << c.function;
    }
}

}  // namespace
