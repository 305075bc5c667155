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

// `text` cut to 32 units, every '-' and every character a file name cannot
// hold replaced by '_', so that a stem's source is all before its first '-'.
std::wstring FitForName(const std::wstring& text);

// Removes the dumps of `source` in `folder` (and their text files) beyond
// what is kept, oldest first by the time they were last written; the one
// just written (`written`, a stem) stays whatever its size or time.
void KeepNewestDumps(const std::wstring& folder, const std::wstring& source,
                     const std::wstring& written);

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
