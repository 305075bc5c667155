#include "package/param_package.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "common/system_library.h"
#include "package/package_image.h"

ParamPackage::ParamPackage() : image_(package::kHeaderSize, 0) {
    std::memcpy(image_.data(), package::kMagic, 4);
    image_[4] = static_cast<uint8_t>(package::kHeaderSize);
}

int ParamPackage::Load(const char* text, size_t length) {
    if (!text || length == 0 || length > MAXDWORD) return 0;

    DWORD size = 1024;
    syslib::CryptStringToBinaryA(text, static_cast<DWORD>(length), CRYPT_STRING_BASE64, nullptr,
                                 &size, nullptr, nullptr);
    std::vector<uint8_t> decoded(size, 0);
    if (size == 0 ||
        !syslib::CryptStringToBinaryA(text, static_cast<DWORD>(length), CRYPT_STRING_BASE64,
                                      decoded.data(), &size, nullptr, nullptr))
        size = 0;
    decoded.resize(size < decoded.size() ? size : decoded.size());

    // The decoded bytes move to a block of their own; without one the
    // package keeps what it had.
    uint8_t* block = static_cast<uint8_t*>(std::malloc(decoded.empty() ? 1 : decoded.size()));
    if (!block) return 0;
    if (!decoded.empty()) std::memcpy(block, decoded.data(), decoded.size());

    package::Unscramble(block, decoded.size());
    recordCount_ = 0;
    if (const uint32_t total = package::UsableImageSize(block, decoded.size())) {
        image_.assign(block, block + total);
        recordCount_ = package::ReadLe32(block + 8);
    }
    std::free(block);
    return 1;
}

bool ParamPackage::FindRecord(const char tag[4], const char* name, const uint8_t** data,
                              uint32_t* length) const {
    package::RecordData found;
    if (!package::FindRecordInImage(image_.data(), image_.size(), recordCount_,
                                    reinterpret_cast<const uint8_t*>(tag), name, &found))
        return false;
    *data = found.data;
    *length = found.length;
    return true;
}
