// Feeds arbitrary bytes to extrun-check's image reader as a file: the first byte gives the length
// of the export name to look up, which follows; the rest is the file. Any read outside the file is
// a finding for AddressSanitizer; the reader must also answer every file in bounded time.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image_exports.h"

namespace {

// The file as one exact-size heap block, so that ASan sees a byte past its end as a fault.
class MemoryBytes : public image::ByteSource {
public:
    MemoryBytes(const uint8_t* data, size_t size)
        : bytes_(static_cast<uint8_t*>(std::malloc(size ? size : 1))), size_(size) {
        if (size) std::memcpy(bytes_, data, size);
    }
    ~MemoryBytes() override { std::free(bytes_); }
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* out, size_t size) const override {
        if (offset > size_ || size > size_ - offset) return false;
        std::memcpy(out, bytes_ + offset, size);
        return true;
    }

private:
    uint8_t* bytes_;
    size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t nameLength = data[0] < size - 1 ? data[0] : size - 1;
    const std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
    const MemoryBytes file(data + 1 + nameLength, size - 1 - nameLength);
    const image::ImageFacts facts = image::ReadImageFacts(file);
    const image::ExportLookup lookup = image::FindExport(file, facts, name);
    if (!facts.problem.empty() && lookup.result != image::ExportResult::kMissing) std::abort();
    if (lookup.result == image::ExportResult::kMissing)
        image::FindDecoratedExport(file, facts, name);
    // A forwarder's "#ordinal": the name's first byte stands for it.
    image::FindExportByOrdinal(file, facts, nameLength ? data[1] : 0);
    image::ImportedDlls(file, facts);
    return 0;
}
