#include "package/package_image.h"

#include <cstring>

namespace package {
namespace {

// The producers' scrambling keys; a package decodes only with these four.
constexpr uint8_t kKey8[8] = {0xb9, 0x3f, 0x7a, 0x49, 0xca, 0x36, 0xd0, 0x78};
constexpr uint8_t kKey17[17] = {0x18, 0x20, 0x37, 0xf6, 0x27, 0x8a, 0x0b, 0x3e, 0xb1,
                                0x73, 0xb0, 0x7f, 0x05, 0xd1, 0x16, 0x25, 0xa7};
constexpr uint8_t kKey27[27] = {0x97, 0x00, 0x0c, 0x23, 0x20, 0x7b, 0x67, 0x32, 0xe8,
                                0x23, 0x34, 0x57, 0xd1, 0xd0, 0xfe, 0x32, 0xc6, 0xd6,
                                0x9f, 0xbb, 0x68, 0x1a, 0xd6, 0x6a, 0x63, 0xbf, 0xb9};
constexpr uint8_t kKey35[35] = {0x50, 0xf2, 0x69, 0x9e, 0xd0, 0x47, 0x8c, 0xf7, 0x11,
                                0x36, 0xc1, 0xe9, 0xca, 0xe1, 0x66, 0xe9, 0x77, 0x11,
                                0xae, 0x75, 0x79, 0x3e, 0x2e, 0x1c, 0xd3, 0x9e, 0xa6,
                                0xf4, 0xb6, 0xb9, 0x8b, 0xe4, 0x48, 0x26, 0x56};

}  // namespace

uint32_t ReadLe32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void Unscramble(uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i)
        bytes[i] ^= kKey8[i % 8] ^ kKey17[i % 17] ^ kKey27[i % 27] ^ kKey35[i % 35];
}

uint32_t UsableImageSize(const uint8_t* bytes, size_t size) {
    if (!bytes || size < kHeaderSize || std::memcmp(bytes, kMagic, 4) != 0) return 0;
    const uint32_t total = ReadLe32(bytes + 4);
    const uint32_t count = ReadLe32(bytes + 8);
    if (count == 0 || total < kHeaderSize || total > size) return 0;
    return total;
}

bool NextRecord(const uint8_t* image, size_t size, size_t* offset, RecordView* record) {
    if (!image || *offset > size || size - *offset < kRecordHeadSize) return false;
    const uint8_t* head = image + *offset;
    const uint32_t length = ReadLe32(head + 4 + kNameSize);
    if (size - *offset - kRecordHeadSize < length) return false;
    record->tag = head;
    record->name = head + 4;
    record->nameLength = 0;
    while (record->nameLength < kNameSize && record->name[record->nameLength] != 0)
        ++record->nameLength;
    record->data = head + kRecordHeadSize;
    record->length = length;
    *offset += kRecordHeadSize + length;
    return true;
}

bool FindRecordInImage(const uint8_t* image, size_t size, uint32_t count, const uint8_t tag[4],
                       const char* name, RecordData* found) {
    if (!image || count == 0 || size < kHeaderSize || !name) return false;
    size_t offset = kHeaderSize;
    RecordView record;
    for (uint32_t i = 0; i < count && NextRecord(image, size, &offset, &record); ++i) {
        if (std::memcmp(record.tag, tag, 4) != 0) continue;
        // The record's name must be a leading part of `name`, compared over the
        // record name's own length; `name` ending first (its terminator against
        // a non-zero byte) is a mismatch.
        size_t k = 0;
        while (k < record.nameLength && name[k] != 0 &&
               static_cast<uint8_t>(name[k]) == record.name[k])
            ++k;
        if (k == record.nameLength) {
            found->data = record.data;
            found->length = record.length;
            return true;
        }
    }
    return false;
}

}  // namespace package
