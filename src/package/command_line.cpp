#include "package/command_line.h"

#include <cstring>

#include "package/package_image.h"

namespace {

constexpr size_t kCommandLineBytes = (kRelaunchCommandLineUnits + 1) * sizeof(wchar_t);
// At most this much of the record is taken, so the buffer always ends in a
// zero unit even when the record holds none.
constexpr size_t kCommandLineCopyLimit = kCommandLineBytes - sizeof(wchar_t);

size_t TextUnits(const uint8_t* data, uint32_t length) {
    size_t units = 0;
    for (size_t at = 0; at < length; at += 2, ++units)
        if (data[at] == 0 && (at + 1 == length || data[at + 1] == 0)) break;
    return units;
}

}  // namespace

size_t CopyCommandLine(const uint8_t* data, uint32_t length, wchar_t* commandLine) {
    std::memcpy(commandLine, data, length < kCommandLineCopyLimit ? length : kCommandLineCopyLimit);
    return TextUnits(data, length);
}

namespace package {

size_t CommandLineUnits(const uint8_t* image, size_t size) {
    RecordData found;
    if (size < kHeaderSize ||
        !FindRecordInImage(image, size, ReadLe32(image + 8),
                           reinterpret_cast<const uint8_t*>(kCommandLineTag), kCommandLineRecord,
                           &found))
        return 0;
    return TextUnits(found.data, found.length);
}

}  // namespace package
