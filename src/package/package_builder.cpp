#include "package/package_builder.h"

#include <windows.h>

#include "common/system_library.h"
#include "package/command_line.h"
#include "package/package_image.h"

namespace package {
namespace {

void PutLe32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<uint8_t> BuildImage(const std::vector<RecordSpec>& records) {
    std::vector<uint8_t> image(kHeaderSize, 0);
    for (int i = 0; i < 4; ++i) image[i] = kMagic[i];
    for (const RecordSpec& r : records) {
        const size_t at = image.size();
        image.resize(at + kRecordHeadSize + r.data.size(), 0);
        for (size_t i = 0; i < 4 && i < r.tag.size(); ++i)
            image[at + i] = static_cast<uint8_t>(r.tag[i]);
        for (size_t i = 0; i < kNameSize && i < r.name.size(); ++i)
            image[at + 4 + i] = static_cast<uint8_t>(r.name[i]);
        PutLe32(image, at + 4 + kNameSize, static_cast<uint32_t>(r.data.size()));
        std::copy(r.data.begin(), r.data.end(),
                  image.begin() + static_cast<ptrdiff_t>(at + kRecordHeadSize));
    }
    PutLe32(image, 4, static_cast<uint32_t>(image.size()));
    PutLe32(image, 8, static_cast<uint32_t>(records.size()));
    return image;
}

std::string EncodePackage(std::vector<uint8_t> image) {
    Unscramble(image.data(), image.size());
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD chars = 0;
    if (!syslib::CryptBinaryToStringA(image.data(), static_cast<DWORD>(image.size()), flags,
                                      nullptr, &chars))
        return {};
    std::string text(chars, '\0');
    if (!syslib::CryptBinaryToStringA(image.data(), static_cast<DWORD>(image.size()), flags,
                                      text.data(), &chars))
        return {};
    text.resize(chars);
    while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

bool DecodePackage(const std::string& text, std::vector<uint8_t>* image) {
    DWORD size = 0;
    if (text.empty() ||
        !syslib::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()),
                                      CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
        return false;
    image->assign(size, 0);
    if (!syslib::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()),
                                      CRYPT_STRING_BASE64, image->data(), &size, nullptr, nullptr))
        return false;
    image->resize(size);
    Unscramble(image->data(), image->size());
    return true;
}

std::wstring NameTooLongReason(const std::wstring& shownName, size_t length) {
    return L"record name \"" + shownName + L"\" is " + std::to_wstring(length) +
           L" characters long; its field holds " + std::to_wstring(kNameSize);
}

bool CommandLineFits(const std::vector<uint8_t>& image, std::wstring* reason) {
    const size_t units = CommandLineUnits(image.data(), image.size());
    if (units <= kRelaunchCommandLineUnits) return true;
    *reason = L"the command line is " + std::to_wstring(units) +
              L" UTF-16 units long; the launcher takes at most " +
              std::to_wstring(kRelaunchCommandLineUnits);
    return false;
}

std::string Utf16Bytes(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

}  // namespace package
