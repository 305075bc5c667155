#pragma once

#include <cstddef>

#include "common/path_buffer.h"

// Where a crash of this program is reported, in the order looked at:
// FaultSend.exe beside the program, in its Utils folder, the same one level
// up, and last the one two levels up, taken unchecked unless it is a folder.
constexpr size_t kUploaderPlaceCount = 5;
using UploaderPlaces = PathBuffer[kUploaderPlaceCount];

// Fills `places` (zeroed) from the program's own path. Done while arming:
// it calls the shell's path functions, which a start may not.
void ListUploaderPlaces(UploaderPlaces& places);

// The first place that holds a file, else the last unless it is a folder;
// -1 when it is. Asks the file system alone (GetFileAttributesW).
int PickUploader(const UploaderPlaces& places);

// Both steps, for the program's own folder. False for that last folder:
// there is nothing to start.
bool ChooseUploader(PathBuffer& uploader);
