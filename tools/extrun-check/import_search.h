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

struct ImportSearch {
    std::vector<FoundImport> found;
    // More DLLs than the search follows (1024 names): what the rest holds was not looked at.
    bool unfinished = false;
};

// The DLLs that the extension at `extension` (importing `imports`) needs
// from outside the system, each once, and then those that they import in
// turn.
ImportSearch FindImports(const std::wstring& extension, const std::vector<std::string>& imports,
                         const std::wstring& launcherFolder);

// Where the loader's search for an export forwarded to another DLL ends.
enum class ForwardEnd {
    kFound,     // an export that is no forwarder: the entry is called
    kNotFound,  // a DLL missing or not loadable, or no such export: GetProcAddress fails
    kLoop,      // back at an export already followed: the loader recurses until the stack ends
    kUnknown,   // more than 16 forwarders, or one longer than the check reads
};

struct ForwardTrail {
    ForwardEnd end = ForwardEnd::kUnknown;
    // What happened, one step a forwarder, as the report shows it.
    std::wstring steps;
};

// Follows the forwarder `text` of `entry` in the extension at `extension` as the loader does
// for GetProcAddress: the DLL named before the last ".", with ".dll" added where that name has
// no ".", is the extension itself when it bears its file name, else the system's or the one
// the import search finds; the export named after the ".", or by ordinal after "#".
ForwardTrail FollowForwarder(const std::wstring& extension, const std::string& entry,
                             const std::string& text, bool whole,
                             const std::wstring& launcherFolder);
