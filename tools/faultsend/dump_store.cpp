#include "dump_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "text_escape.h"

namespace {

constexpr size_t kLongestNamePart = 32;
constexpr wchar_t kPartExtension[] = L".part";
constexpr size_t kLongestRequestText = 16 * 1024;

struct FindTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { FindClose(h); }
};
using UniqueFind = UniqueResource<FindTraits>;

bool MarkForDeletion(HANDLE file, bool gone) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = gone;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

}  // namespace

std::wstring FitForName(const std::wstring& text) {
    // A cut between the halves of a pair would leave a lone surrogate, which
    // no file system takes as a name.
    size_t length = std::min(text.size(), kLongestNamePart);
    if (length < text.size() && text[length - 1] >= 0xD800 && text[length - 1] < 0xDC00) --length;
    std::wstring fit = text.substr(0, length);
    for (size_t i = 0; i < fit.size(); ++i) {
        const wchar_t c = fit[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < fit.size() && fit[i + 1] >= 0xDC00 &&
            fit[i + 1] < 0xE000) {
            ++i;
            continue;
        }
        if (IsDisguising(c) || (c >= 0xD800 && c < 0xE000) || wcschr(L"-<>:\"/\\|?*", c))
            fit[i] = L'_';
    }
    return fit;
}

std::wstring DumpStem(const UploadRequest& request, const SYSTEMTIME& local) {
    wchar_t time[32] = {};
    _snwprintf(time, 31, L"%04u%02u%02u-%02u%02u%02u.%03u", local.wYear, local.wMonth, local.wDay,
               local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    return FitForName(request.source) + L"-" + FitForName(request.version) + L"-" + time + L"-" +
           std::to_wstring(request.pid) + L"-" + std::to_wstring(request.tid);
}

namespace {

bool StartsWithNoCase(const std::wstring& text, const std::wstring& start) {
    return text.size() >= start.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(start.size()), start.c_str(),
                                static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Whether `stem` ends as DumpStem ends: "-yyyymmdd-hhmmss.mmm-<pid>-<tid>".
bool EndsAsDumpStem(const std::wstring& stem) {
    static const wchar_t kShape[] = L"-########-######.###-";
    size_t at = stem.size();
    const auto digits = [&] {
        const size_t end = at;
        while (at > 0 && IsDigit(stem[at - 1])) --at;
        return end - at;
    };
    if (digits() == 0 || at == 0 || stem[--at] != L'-' || digits() == 0) return false;
    const size_t shape = wcslen(kShape);
    if (at < shape) return false;
    at -= shape;
    for (size_t i = 0; i < shape; ++i)
        if (kShape[i] == L'#' ? !IsDigit(stem[at + i]) : stem[at + i] != kShape[i]) return false;
    return true;
}

std::wstring FinalPath(HANDLE handle) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    return length > 0 && length < MAX_PATH * 4 ? std::wstring(path, length) : std::wstring();
}

}  // namespace

std::wstring FolderPath(const std::wstring& folder) {
    UniqueFileHandle opened(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
    return opened ? FinalPath(opened.get()) : std::wstring();
}

// The handle is opened on a link itself, not on what a symbolic link,
// junction or other reparse point names, and kept only when it shows a file
// of one name whose final path is that name in that folder (Wine follows a
// Unix link it does not report as one, which this last check catches).
UniqueFileHandle OpenPlainFile(const std::wstring& folder, const std::wstring& folderPath,
                               const std::wstring& name, DWORD access, bool writable) {
    UniqueFileHandle file(
        CreateFileW((folder + L"\\" + name).c_str(), access | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION facts;
    const DWORD notPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY |
                           (writable ? FILE_ATTRIBUTE_READONLY : 0);
    if (file && GetFileInformationByHandle(file.get(), &facts) &&
        !(facts.dwFileAttributes & notPlain) && facts.nNumberOfLinks == 1 && !folderPath.empty() &&
        EqualNoCase(FinalPath(file.get()), folderPath + L"\\" + name))
        return file;
    return UniqueFileHandle();
}

bool IsDumpName(const std::wstring& name, const std::wstring& prefix, std::wstring& stem) {
    const size_t extension = wcslen(kDumpExtension);
    stem = name.substr(0, name.size() - std::min(name.size(), extension));
    return StartsWithNoCase(name, prefix) && EqualNoCase(name, stem + kDumpExtension) &&
           EndsAsDumpStem(stem);
}

void KeepNewestDumps(const std::wstring& folder, const std::wstring& source,
                     const std::wstring& written) {
    struct Dump {
        FILETIME written;
        uint64_t size;
        std::wstring stem;
    };
    std::vector<Dump> dumps;
    const std::wstring prefix = FitForName(source) + L"-";
    WIN32_FIND_DATAW found;
    UniqueFind search(FindFirstFileExW((folder + L"\\" + prefix + L"*" + kDumpExtension).c_str(),
                                       FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (!search) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    do {
        // The pattern also matches short names, which can end otherwise; the
        // names are compared as the file system compares them, in any case.
        std::wstring stem;
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT) ||
            !IsDumpName(found.cFileName, prefix, stem))
            continue;
        // A dump dated in the future ranks as the oldest, so that no file
        // with a planted or mistaken time holds a place for ever.
        FILETIME time = found.ftLastWriteTime;
        if (CompareFileTime(&time, &now) > 0) time = {};
        dumps.push_back(
            {time, uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow, std::move(stem)});
    } while (FindNextFileW(search.get(), &found));

    std::sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) {
        const LONG order = CompareFileTime(&a.written, &b.written);
        return order != 0 ? order > 0 : a.stem > b.stem;
    });
    const std::wstring folderPath = FolderPath(folder);
    // Both sums only grow, so once a dump is past a limit every older one is.
    uint64_t bytes = 0;
    for (size_t i = 0; i < dumps.size(); ++i) {
        bytes += dumps[i].size;
        if (EqualNoCase(dumps[i].stem, written) || (i < kKeptDumps && bytes <= kKeptBytes))
            continue;
        // The text goes only with its dump; the user keeps a dump by making
        // it read-only. Not checked: a text file that cannot go (a link,
        // another program's open file) is left alone.
        const auto remove = [&](const wchar_t* extension) {
            UniqueFileHandle file =
                OpenPlainFile(folder, folderPath, dumps[i].stem + extension, DELETE, true);
            return file && MarkForDeletion(file.get(), true);
        };
        if (remove(kDumpExtension)) remove(kRequestExtension);
    }
}

std::wstring NoteRepeatedFault(const std::wstring& folder, const std::wstring& source, DWORD pid,
                               DWORD tid, const std::wstring& fault, const SYSTEMTIME& local) {
    const std::wstring ids = L"-" + std::to_wstring(pid) + L"-" + std::to_wstring(tid);
    const std::wstring prefix = FitForName(source) + L"-";
    WIN32_FIND_DATAW found;
    UniqueFind search(
        FindFirstFileExW((folder + L"\\" + prefix + L"*" + ids + kRequestExtension).c_str(),
                         FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (!search) return {};
    const std::wstring folderPath = FolderPath(folder);
    const std::string line = "\r\n" + std::string(kFaultKey, kFaultKey + wcslen(kFaultKey)) +
                             std::string(fault.begin(), fault.end()) + "\r\n";
    do {
        const std::wstring name = found.cFileName;
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT) ||
            !StartsWithNoCase(name, prefix))
            continue;
        UniqueFileHandle text =
            OpenPlainFile(folder, folderPath, name, FILE_READ_DATA | FILE_APPEND_DATA, true);
        // A text file this uploader wrote is a few hundred bytes; more is not one.
        char bytes[kLongestRequestText];
        DWORD read = 0;
        if (!text || !ReadFile(text.get(), bytes, sizeof(bytes), &read, nullptr) ||
            std::string(bytes, read).find(line) == std::string::npos)
            continue;
        wchar_t time[64] = {};
        _snwprintf(time, 63, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", local.wYear, local.wMonth,
                   local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
        const std::string note = std::string(kRepeatKey, kRepeatKey + wcslen(kRepeatKey)) +
                                 std::string(time, time + wcslen(time)) +
                                 " the fault was reported again: no second dump\r\n";
        DWORD written = 0;
        // Not checked: the dump is the fault's whether or not the note is added.
        WriteFile(text.get(), note.data(), static_cast<DWORD>(note.size()), &written, nullptr);
        return name.substr(0, name.size() - wcslen(kRequestExtension));
    } while (FindNextFileW(search.get(), &found));
    return {};
}

PendingFile::PendingFile(const std::wstring& path) : path_(path) {
    const std::wstring part = path + kPartExtension;
    // Read back once written: a dump gets the debug records its writer left out.
    file_.reset(CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_ && !MarkForDeletion(file_.get(), true)) {
        file_.reset();
        // Not checked: the file is empty, and no dump is written without it.
        DeleteFileW(part.c_str());
    }
}

bool PendingFile::Keep() {
    if (!file_) return false;
    const size_t nameBytes = path_.size() * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, path_.c_str(), nameBytes);
    const bool kept = MarkForDeletion(file_.get(), false) &&
                      SetFileInformationByHandle(file_.get(), FileRenameInfo, rename,
                                                 static_cast<DWORD>(buffer.size()));
    // Not checked: when this fails too, the temporary name is all that is left.
    if (!kept) MarkForDeletion(file_.get(), true);
    file_.reset();
    return kept;
}
