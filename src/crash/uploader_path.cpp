#include "crash/uploader_path.h"

#include <shlwapi.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr wchar_t kUploaderName[] = L"\\FaultSend.exe";
constexpr wchar_t kUploaderInUtils[] = L"\\Utils\\FaultSend.exe";

// `folder` + `suffix` appended as they stand, cut to fit like any path buffer.
void JoinBounded(PathBuffer& out, const wchar_t* folder, const wchar_t* suffix) {
    size_t i = 0;
    for (const wchar_t* part : {folder, suffix})
        for (; *part && i + 1 < MAX_PATH; ++part) out[i++] = *part;
    out[i] = 0;
}

// A folder of that name is no program: started, it would open a window,
// and a started uploader is awaited without limit.
bool IsFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

void ListUploaderPlaces(UploaderPlaces& places) {
    std::memset(places, 0, sizeof(places));
    PathBuffer folder = {};
    GetModuleFileNameW(nullptr, folder, MAX_PATH);
    PathRemoveFileSpecW(folder);
    JoinBounded(places[0], folder, kUploaderName);
    JoinBounded(places[1], folder, kUploaderInUtils);
    PathRemoveFileSpecW(folder);
    JoinBounded(places[2], folder, kUploaderName);
    JoinBounded(places[3], folder, kUploaderInUtils);
    PathRemoveFileSpecW(folder);
    JoinBounded(places[4], folder, kUploaderName);
}

int PickUploader(const UploaderPlaces& places) {
    for (int place = 0; place + 1 < static_cast<int>(kUploaderPlaceCount); ++place) {
        const DWORD attributes = GetFileAttributesW(places[place]);
        if (attributes != INVALID_FILE_ATTRIBUTES && !IsFolder(attributes)) return place;
    }
    constexpr int kLast = kUploaderPlaceCount - 1;
    return IsFolder(GetFileAttributesW(places[kLast])) ? -1 : kLast;
}

bool ChooseUploader(PathBuffer& uploader) {
    UploaderPlaces places;
    ListUploaderPlaces(places);
    const int place = PickUploader(places);
    CopyBounded(uploader, places[place < 0 ? kUploaderPlaceCount - 1 : place]);
    return place >= 0;
}
