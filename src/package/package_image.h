#pragma once

#include <cstddef>
#include <cstdint>

// The parameter package's binary image, independent of the platform so that
// the walker can be fuzzed natively.
//
// Image: header { magic "dhms", total size, record count } (12 bytes, all
// numbers little-endian), then records back to back:
// { tag (4), name (50, zero-ended unless full), data length n (4), data (n) }.
namespace package {

constexpr size_t kHeaderSize = 12;
constexpr size_t kNameSize = 50;
constexpr size_t kRecordHeadSize = 58;  // tag + name + data length
constexpr uint8_t kMagic[4] = {'d', 'h', 'm', 's'};
constexpr uint8_t kRecordTag[4] = {'d', 'm', 'm', 's'};

uint32_t ReadLe32(const uint8_t* bytes);

// XORs every byte with the four keys at its position (its own inverse).
void Unscramble(uint8_t* bytes, size_t size);

// The header's total size when `bytes` holds a usable package: the magic,
// non-zero record count and total size, and a total of at least a header and
// no more than `size`. 0 otherwise.
uint32_t UsableImageSize(const uint8_t* bytes, size_t size);

struct RecordView {
    const uint8_t* tag = nullptr;   // 4 bytes
    const uint8_t* name = nullptr;  // nameLength bytes, not terminated when full
    size_t nameLength = 0;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
};

// Reads the record at `*offset` and moves `*offset` past it. False when the
// record's head or data would pass the end of the image.
bool NextRecord(const uint8_t* image, size_t size, size_t* offset, RecordView* record);

struct RecordData {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
};

// The first of `count` records whose tag equals `tag` and whose name is a
// leading part of `name` (its terminator counting as a character). Stops at
// the first record whose head or data would pass the end of the image, so
// nothing outside [image, image + size) is read.
bool FindRecordInImage(const uint8_t* image, size_t size, uint32_t count, const uint8_t tag[4],
                       const char* name, RecordData* found);

}  // namespace package
