#include "extrun/package.h"

#include "common/escaped_text.h"
#include "package/command_line.h"
#include "package/package_builder.h"
#include "package/package_image.h"

namespace extrun {

PackageRecord CommandLineRecord(const std::wstring& commandLine) {
    return {"cmd_line", package::Utf16Bytes(commandLine)};
}

namespace {

std::string Refuse(std::wstring* reason, const std::wstring& why) {
    if (reason) *reason = why;
    return {};
}

}  // namespace

std::string MakePackage(const std::vector<PackageRecord>& records, std::wstring* reason) {
    std::vector<package::RecordSpec> specs;
    for (const PackageRecord& record : records) {
        // The name's bytes one for one, as the record's field holds them.
        std::wstring shown;
        for (const char byte : record.name) shown.push_back(static_cast<unsigned char>(byte));
        shown = EscapeControls(shown);
        if (record.name.size() > package::kNameSize)
            return Refuse(reason, package::NameTooLongReason(shown, record.name.size()));
        if (record.name.empty() || record.name.find('\0') != std::string::npos)
            return Refuse(reason,
                          L"bad record name \"" + shown + L"\" (1-50 bytes, none of them zero)");
        specs.push_back({"dmms", record.name, record.data});
    }
    if (specs.empty()) return Refuse(reason, L"no record");
    const std::vector<uint8_t> image = package::BuildImage(specs);
    // The launcher would run a command line it cut, which is not what was asked for.
    std::wstring why;
    if (!package::CommandLineFits(image, &why)) return Refuse(reason, why);
    const std::string text = package::EncodePackage(image);
    return text.empty() ? Refuse(reason, package::kEncodingFailed) : text;
}

bool ReadPackage(const std::string& text, std::vector<PackageRecord>* records) {
    std::vector<uint8_t> image;
    const uint32_t total = package::DecodePackage(text, &image)
                               ? package::UsableImageSize(image.data(), image.size())
                               : 0;
    if (total == 0) return false;
    records->clear();
    const uint32_t count = package::ReadLe32(image.data() + 8);
    size_t offset = package::kHeaderSize;
    package::RecordView record;
    for (uint32_t i = 0; i < count && package::NextRecord(image.data(), total, &offset, &record);
         ++i)
        records->push_back(
            {std::string(reinterpret_cast<const char*>(record.name), record.nameLength),
             std::string(reinterpret_cast<const char*>(record.data), record.length)});
    return true;
}

}  // namespace extrun
