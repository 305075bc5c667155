#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/handles.h"
#include "upload_request.h"

// The dumps of one product: "<data folder>\Dumps\<stem>.dmp", each with
// "<stem>.txt" beside it holding the request.
inline constexpr wchar_t kDumpsFolder[] = L"Dumps";
inline constexpr wchar_t kDumpExtension[] = L".dmp";
inline constexpr wchar_t kRequestExtension[] = L".txt";

// What is kept of one source's dumps: the newest, at most this many and at
// most this many bytes of them together; the newest whatever its size.
inline constexpr size_t kKeptDumps = 10;
inline constexpr uint64_t kKeptBytes = 256ull << 20;

// "<src>-<ver>-<yyyymmdd-hhmmss.mmm>-<pid>-<tid>": the source and version as
// FitForName makes them, and `local` as the time.
std::wstring DumpStem(const UploadRequest& request, const SYSTEMTIME& local);

// `text` cut to 32 units (31 where the 32nd is the first half of a pair),
// every '-', every character a file name cannot hold and every character
// IsDisguising names replaced by '_', so that a stem's source is all before
// its first '-' and a name shows as what it is.
std::wstring FitForName(const std::wstring& text);

// Removes the dumps of `source` in `folder` (and their text files) beyond
// what is kept, oldest first by the time they were last written, a time in
// the future counting as the oldest; the one just written (`written`, a
// stem) stays whatever its size or time. Only plain files named as DumpStem
// names them, in any letter case, are removed, never through a link; a dump
// that cannot be removed (read-only) stays with its text file.
void KeepNewestDumps(const std::wstring& folder, const std::wstring& source,
                     const std::wstring& written);

// `folder`'s own path as the system resolves it, links and all; empty when
// it cannot be opened.
std::wstring FolderPath(const std::wstring& folder);

// `name` in `folder` opened with `access`, when it is a plain file there:
// not a link, junction or other reparse point, nor a file of more names
// than one, nor (when `writable`) read-only. `folderPath` is FolderPath's.
// Null otherwise.
UniqueFileHandle OpenPlainFile(const std::wstring& folder, const std::wstring& folderPath,
                               const std::wstring& name, DWORD access, bool writable);

// Whether `name` is "<prefix><...>.dmp" as DumpStem names a dump, letter
// case aside; `stem` is the name without ".dmp".
bool IsDumpName(const std::wstring& name, const std::wstring& prefix, std::wstring& stem);

// The line of a dump's text file that names its fault (DumpTarget::fault),
// and the one a second report of that fault adds.
inline constexpr wchar_t kFaultKey[] = L"fault=";
inline constexpr wchar_t kRepeatKey[] = L"repeat=";

// When a dump of `source` in `folder`, written for the same process and
// thread, has `fault` in its text file, adds a line to that file saying that
// the fault was reported again at `local` and returns its stem; else empty.
std::wstring NoteRepeatedFault(const std::wstring& folder, const std::wstring& source, DWORD pid,
                               DWORD tid, const std::wstring& fault, const SYSTEMTIME& local);

// A file written under a temporary name that the system removes unless Keep
// gives it its own name: a process ended while writing leaves nothing
// behind, and the final name never shows half a file.
class PendingFile {
public:
    // Creates "<path>.part" for writing; Handle() is null when it cannot.
    explicit PendingFile(const std::wstring& path);
    HANDLE Handle() const { return file_ ? file_.get() : nullptr; }
    // Renames it to the path it was made for; an existing file of that name
    // is not replaced. False (and the file goes) when it cannot.
    bool Keep();

private:
    std::wstring path_;
    UniqueFileHandle file_;
};
