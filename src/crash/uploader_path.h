#pragma once

#include "common/path_buffer.h"

// Where a crash of this program is reported: the first FaultSend.exe that is
// a file beside the program, in its Utils folder, the same one level up,
// and last the one two levels up, taken unchecked unless it is a folder.
// False for that folder: there is nothing to start.
bool ChooseUploader(PathBuffer& uploader);
