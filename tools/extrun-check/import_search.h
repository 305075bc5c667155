#pragma once

#include <string>
#include <vector>

// Where the loader takes the DLLs an extension imports by name from, when
// the launcher loads the extension by its full path with nothing in the
// process's search order changed: the launcher's folder, the system
// folders, the Windows folder, the current folder, then the folders of
// PATH. The extension's own folder is not among them. A DLL that the system
// folder holds (the KnownDLLs among them) or an API set's name is the
// system's and not listed.
enum class ImportPlace { kLauncherFolder, kWindowsFolder, kCurrentFolder, kPath, kMissing };

struct FoundImport {
    std::wstring name;      // as the importing image names it
    std::wstring importer;  // the file name of the image that imports it
    ImportPlace place = ImportPlace::kMissing;
    // Where it was found; for a missing one, a file of that name beside
    // the extension, if there is one.
    std::wstring path;
};

// The DLLs that the extension at `extension` (importing `imports`) needs
// from outside the system, each once, and then those that they import in
// turn, up to 64 in all.
std::vector<FoundImport> FindImports(const std::wstring& extension,
                                     const std::vector<std::string>& imports,
                                     const std::wstring& launcherFolder);
