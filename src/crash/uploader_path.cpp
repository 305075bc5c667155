#include "crash/uploader_path.h"

#include <io.h>
#include <shlwapi.h>

#include <initializer_list>

namespace {

constexpr wchar_t kUploaderName[] = L"\\FaultSend.exe";
constexpr wchar_t kUploaderInUtils[] = L"\\Utils\\FaultSend.exe";
constexpr int kReadable = 4;

// `folder` + `suffix` appended as they stand, cut to fit like any path buffer.
void JoinBounded(PathBuffer& out, const wchar_t* folder, const wchar_t* suffix) {
    size_t i = 0;
    for (const wchar_t* part : {folder, suffix})
        for (; *part && i + 1 < MAX_PATH; ++part) out[i++] = *part;
    out[i] = 0;
}

// A folder of that name is no program: started, it would open a window,
// and a started uploader is awaited without limit.
bool IsFolder(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsUploaderFile(const wchar_t* path) {
    return _waccess(path, kReadable) == 0 && !IsFolder(path);
}

}  // namespace

bool ChooseUploader(PathBuffer& uploader) {
    PathBuffer folder = {};
    GetModuleFileNameW(nullptr, folder, MAX_PATH);
    PathRemoveFileSpecW(folder);
    JoinBounded(uploader, folder, kUploaderName);
    if (IsUploaderFile(uploader)) return true;
    JoinBounded(uploader, folder, kUploaderInUtils);
    if (IsUploaderFile(uploader)) return true;
    PathRemoveFileSpecW(folder);
    JoinBounded(uploader, folder, kUploaderName);
    if (IsUploaderFile(uploader)) return true;
    JoinBounded(uploader, folder, kUploaderInUtils);
    if (IsUploaderFile(uploader)) return true;
    PathRemoveFileSpecW(folder);
    JoinBounded(uploader, folder, kUploaderName);
    return !IsFolder(uploader);
}
