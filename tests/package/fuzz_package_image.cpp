// Feeds arbitrary bytes to the package walker as a decoded image: the first bytes choose the name
// to look up, the rest is the image (unscrambled as the launcher would, and also as-is). Any read
// outside the image is a finding for AddressSanitizer; the walk must also never claim data that
// lies outside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/package_image.h"

namespace {

void Walk(const std::vector<uint8_t>& image, const char* name) {
    // Exact-size heap copy so ASan sees one byte past the end as a fault.
    uint8_t* bytes = static_cast<uint8_t*>(std::malloc(image.size() ? image.size() : 1));
    if (!image.empty()) std::memcpy(bytes, image.data(), image.size());
    const uint32_t total = package::UsableImageSize(bytes, image.size());
    if (total) {
        const uint32_t count = package::ReadLe32(bytes + 8);
        package::RecordData found;
        if (package::FindRecordInImage(bytes, total, count, package::kRecordTag, name, &found)) {
            if (found.data < bytes || found.data + found.length > bytes + total) std::abort();
        }
        size_t offset = package::kHeaderSize;
        package::RecordView r;
        for (uint32_t i = 0; i < count && package::NextRecord(bytes, total, &offset, &r); ++i)
            if (offset > total || r.nameLength > package::kNameSize) std::abort();
    }
    std::free(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t nameLength = data[0] % 64 < size - 1 ? data[0] % 64 : size - 1;
    const std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
    std::vector<uint8_t> image(data + 1 + nameLength, data + size);

    Walk(image, name.c_str());
    package::Unscramble(image.data(), image.size());
    Walk(image, name.c_str());
    return 0;
}
