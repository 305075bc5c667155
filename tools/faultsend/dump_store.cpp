#include "dump_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kLongestNamePart = 32;
constexpr wchar_t kPartExtension[] = L".part";

struct FindTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { FindClose(h); }
};
using UniqueFind = UniqueResource<FindTraits>;

bool EndsWith(const std::wstring& text, const wchar_t* end) {
    const size_t length = wcslen(end);
    return text.size() >= length && text.compare(text.size() - length, length, end) == 0;
}

bool MarkForDeletion(HANDLE file, bool gone) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = gone;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

}  // namespace

std::wstring FitForName(const std::wstring& text) {
    std::wstring fit = text.substr(0, kLongestNamePart);
    for (wchar_t& c : fit)
        if (c < L' ' || wcschr(L"-<>:\"/\\|?*", c)) c = L'_';
    return fit;
}

std::wstring DumpStem(const UploadRequest& request, const SYSTEMTIME& local) {
    wchar_t time[32] = {};
    _snwprintf(time, 31, L"%04u%02u%02u-%02u%02u%02u.%03u", local.wYear, local.wMonth, local.wDay,
               local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
    return FitForName(request.source) + L"-" + FitForName(request.version) + L"-" + time + L"-" +
           std::to_wstring(request.pid) + L"-" + std::to_wstring(request.tid);
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
    do {
        // The pattern also matches short names, which can end otherwise.
        const std::wstring name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            name.compare(0, prefix.size(), prefix) == 0 && EndsWith(name, kDumpExtension))
            dumps.push_back({found.ftLastWriteTime,
                             uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow,
                             name.substr(0, name.size() - wcslen(kDumpExtension))});
    } while (FindNextFileW(search.get(), &found));

    std::sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) {
        const LONG order = CompareFileTime(&a.written, &b.written);
        return order != 0 ? order > 0 : a.stem > b.stem;
    });
    // Both sums only grow, so once a dump is past a limit every older one is.
    uint64_t bytes = 0;
    for (size_t i = 0; i < dumps.size(); ++i) {
        bytes += dumps[i].size;
        if (dumps[i].stem == written || (i < kKeptDumps && bytes <= kKeptBytes)) continue;
        // Not checked: a file another program holds open goes on a later run.
        const std::wstring stem = folder + L"\\" + dumps[i].stem;
        DeleteFileW((stem + kDumpExtension).c_str());
        DeleteFileW((stem + kRequestExtension).c_str());
    }
}

PendingFile::PendingFile(const std::wstring& path) : path_(path) {
    const std::wstring part = path + kPartExtension;
    file_.reset(CreateFileW(part.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
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
