#include "extrun/package.h"

#include "package/command_line.h"
#include "package/package_builder.h"
#include "package/package_image.h"

namespace extrun {

PackageRecord CommandLineRecord(const std::wstring& commandLine) {
    return {"cmd_line", package::Utf16Bytes(commandLine)};
}

std::string MakePackage(const std::vector<PackageRecord>& records) {
    std::vector<package::RecordSpec> specs;
    for (const PackageRecord& record : records) {
        if (record.name.empty() || record.name.size() > package::kNameSize ||
            record.name.find('\0') != std::string::npos)
            return {};
        specs.push_back({"dmms", record.name, record.data});
    }
    if (specs.empty()) return {};
    const std::vector<uint8_t> image = package::BuildImage(specs);
    // The launcher would run a command line it cut, which is not what was asked for.
    if (package::CommandLineUnits(image.data(), image.size()) > kRelaunchCommandLineUnits) return {};
    return package::EncodePackage(image);
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
