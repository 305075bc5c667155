#include "image_exports.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace image {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagic32 = 0x10B;
constexpr uint16_t kMagic64 = 0x20B;
constexpr uint16_t kFileIsDll = 0x2000;

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderPointer = 0x3C;
// The signature, then the file header.
constexpr uint32_t kFileHeaderEnd = 24;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kExportDirectorySize = 40;
constexpr uint32_t kImportDescriptorSize = 20;
constexpr size_t kImportNameLimit = 256;
// Offsets in the optional header, by its form.
constexpr uint32_t kHeadersSizeField = 60;
constexpr uint32_t kDirectoryCount32 = 92, kDirectories32 = 96;
constexpr uint32_t kDirectoryCount64 = 108, kDirectories64 = 112;
// A forwarder names "DLL.Function"; one longer than this names no DLL a path can hold, and is
// kept cut.
constexpr size_t kForwarderRead = 1024;
// The names a decorated entry is looked for among: a C++ name with long parameter types fits,
// and a hostile table with millions of names takes no longer than a real one can.
constexpr size_t kDecoratedNameLimit = 256;
constexpr uint32_t kNamesScanned = 1024;
// What a decoration adds before an entry's name can end ("_Z" and a ten-digit length; "_", "@"
// and ten digits) and the zero byte: so many bytes beyond the entry's length rule a name out.
constexpr size_t kDecorationLength = 14;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool Read16(const ByteSource& file, uint64_t offset, uint16_t* value) {
    uint8_t bytes[2];
    if (!file.Read(offset, bytes, sizeof(bytes))) return false;
    *value = Le16(bytes);
    return true;
}

bool Read32(const ByteSource& file, uint64_t offset, uint32_t* value) {
    uint8_t bytes[4];
    if (!file.Read(offset, bytes, sizeof(bytes))) return false;
    *value = Le32(bytes);
    return true;
}

// Bytes at `rva` as the loader lays the image out: the headers, then each
// section's raw data followed by zeros up to its virtual size. False when any
// of them lies outside every part.
bool ReadRva(const ByteSource& file, const ImageFacts& facts, uint64_t rva, void* out,
             size_t size) {
    auto* to = static_cast<uint8_t*>(out);
    while (size > 0) {
        size_t chunk = 0;
        if (rva < facts.headersSize) {
            chunk = static_cast<size_t>(std::min<uint64_t>(size, facts.headersSize - rva));
            if (!file.Read(rva, to, chunk)) return false;
        } else {
            const Section* in = nullptr;
            for (const Section& s : facts.sections) {
                const uint64_t span = s.virtualSize ? s.virtualSize : s.rawSize;
                if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
                    in = &s;
                    break;
                }
            }
            if (!in) return false;
            const uint64_t at = rva - in->virtualAddress;
            const uint64_t span = in->virtualSize ? in->virtualSize : in->rawSize;
            if (at < in->rawSize) {
                chunk =
                    static_cast<size_t>(std::min<uint64_t>({size, in->rawSize - at, span - at}));
                if (!file.Read(in->rawOffset + at, to, chunk)) return false;
            } else {
                chunk = static_cast<size_t>(std::min<uint64_t>(size, span - at));
                std::memset(to, 0, chunk);
            }
        }
        to += chunk;
        rva += chunk;
        size -= chunk;
    }
    return true;
}

bool ReadRva32(const ByteSource& file, const ImageFacts& facts, uint64_t rva, uint32_t* value) {
    uint8_t bytes[4];
    if (!ReadRva(file, facts, rva, bytes, sizeof(bytes))) return false;
    *value = Le32(bytes);
    return true;
}

// strcmp of the image's zero-terminated name at `rva` against `name`: below,
// equal or above 0; 2 when the name cannot be read. Reads no further than
// the first difference.
int CompareNameAt(const ByteSource& file, const ImageFacts& facts, uint64_t rva,
                  const std::string& name) {
    for (size_t i = 0;; ++i) {
        uint8_t have = 0;
        if (!ReadRva(file, facts, rva + i, &have, 1)) return 2;
        const uint8_t want = i < name.size() ? static_cast<uint8_t>(name[i]) : 0;
        if (have != want) return have < want ? -1 : 1;
        if (have == 0) return 0;
    }
}

}  // namespace

ImageFacts ReadImageFacts(const ByteSource& file) {
    ImageFacts facts;
    uint8_t mz[2];
    uint32_t peOffset = 0;
    if (file.Size() < kDosHeaderSize || !file.Read(0, mz, sizeof(mz))) {
        facts.problem = "shorter than a DOS header: no program or DLL";
        return facts;
    }
    if (mz[0] != 'M' || mz[1] != 'Z') {
        facts.problem = "no MZ signature: no program or DLL";
        return facts;
    }
    uint8_t fileHeader[kFileHeaderEnd];
    if (!Read32(file, kNewHeaderPointer, &peOffset) ||
        !file.Read(peOffset, fileHeader, sizeof(fileHeader))) {
        facts.problem = "the PE header lies outside the file";
        return facts;
    }
    if (std::memcmp(fileHeader, "PE\0\0", 4) != 0) {
        facts.problem = "no PE signature: a DOS program, or damaged";
        return facts;
    }
    facts.machine = Le16(fileHeader + 4);
    const uint16_t sectionCount = Le16(fileHeader + 6);
    const uint16_t optionalSize = Le16(fileHeader + 20);
    facts.isDll = (Le16(fileHeader + 22) & kFileIsDll) != 0;

    const uint64_t optional = static_cast<uint64_t>(peOffset) + kFileHeaderEnd;
    if (optionalSize < 2 || !Read16(file, optional, &facts.magic)) {
        facts.problem = "no optional header";
        return facts;
    }
    uint32_t countField = 0, directories = 0;
    if (facts.magic == kMagic64) {
        countField = kDirectoryCount64;
        directories = kDirectories64;
    } else if (facts.magic == kMagic32) {
        countField = kDirectoryCount32;
        directories = kDirectories32;
    } else {
        facts.problem = "an optional header of unknown form";
        return facts;
    }
    uint32_t directoryCount = 0;
    if (optionalSize < directories ||
        !Read32(file, optional + kHeadersSizeField, &facts.headersSize) ||
        !Read32(file, optional + countField, &directoryCount)) {
        facts.problem = "the optional header is cut short";
        return facts;
    }
    // The export table is directory 0, the import table directory 1; a header too short to
    // hold one has none.
    if (directoryCount > 0 && optionalSize >= directories + 8 &&
        (!Read32(file, optional + directories, &facts.exportRva) ||
         !Read32(file, optional + directories + 4, &facts.exportSize))) {
        facts.problem = "the optional header is cut short";
        return facts;
    }
    if (directoryCount > 1 && optionalSize >= directories + 16 &&
        !Read32(file, optional + directories + 8, &facts.importRva)) {
        facts.problem = "the optional header is cut short";
        return facts;
    }

    const uint64_t table = optional + optionalSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        uint8_t header[kSectionHeaderSize];
        if (!file.Read(table + static_cast<uint64_t>(i) * kSectionHeaderSize, header,
                       sizeof(header))) {
            facts.problem = "the section table runs past the end of the file";
            return facts;
        }
        const Section s{Le32(header + 12), Le32(header + 8), Le32(header + 16), Le32(header + 20)};
        if (s.rawSize > 0 && static_cast<uint64_t>(s.rawOffset) + s.rawSize > file.Size()) {
            facts.problem = "a section's data runs past the end of the file";
            return facts;
        }
        facts.sections.push_back(s);
    }
    return facts;
}

bool LoadableIn64BitProcess(const ImageFacts& facts) {
    return facts.problem.empty() && facts.machine == kMachineAmd64 && facts.magic == kMagic64;
}

const char* MachineName(uint16_t machine) {
    switch (machine) {
        case 0x8664:
            return "AMD64";
        case 0x014C:
            return "i386";
        case 0xAA64:
            return "ARM64";
        case 0x01C4:
            return "ARM";
        case 0x0200:
            return "IA64";
        default:
            return "";
    }
}

namespace {

// The export at `index` of the function table, as the loader takes it: none at address 0 or
// past the table, a forwarder where the address lies inside the export table.
ExportLookup ExportAt(const ByteSource& file, const ImageFacts& facts, const uint8_t* directory,
                      uint64_t index) {
    ExportLookup lookup;
    lookup.namedExports = Le32(directory + 24);
    uint32_t function = 0;
    if (index >= Le32(directory + 20)) return lookup;
    if (!ReadRva32(file, facts, Le32(directory + 28) + 4 * index, &function)) {
        lookup.result = ExportResult::kDamaged;
        return lookup;
    }
    if (function == 0) return lookup;
    if (function >= facts.exportRva &&
        function - static_cast<uint64_t>(facts.exportRva) < facts.exportSize) {
        lookup.result = ExportResult::kForwarded;
        for (size_t i = 0; i < kForwarderRead; ++i) {
            char c = 0;
            if (!ReadRva(file, facts, static_cast<uint64_t>(function) + i, &c, 1)) {
                lookup.result = ExportResult::kDamaged;
                return lookup;
            }
            if (!c) {
                lookup.forwarderWhole = true;
                break;
            }
            lookup.forwardedTo.push_back(c);
        }
        return lookup;
    }
    lookup.result = ExportResult::kFound;
    return lookup;
}

}  // namespace

ExportLookup FindExport(const ByteSource& file, const ImageFacts& facts, const std::string& name) {
    ExportLookup lookup;
    // The loader takes a table at address 0 for none, whatever its size.
    if (!facts.problem.empty() || facts.exportRva == 0) return lookup;
    uint8_t directory[kExportDirectorySize];
    if (!ReadRva(file, facts, facts.exportRva, directory, sizeof(directory))) {
        lookup.result = ExportResult::kDamaged;
        return lookup;
    }
    lookup.namedExports = Le32(directory + 24);
    const uint64_t names = Le32(directory + 32);
    const uint64_t ordinals = Le32(directory + 36);

    int64_t low = 0, high = static_cast<int64_t>(lookup.namedExports) - 1;
    while (low <= high) {
        const int64_t at = low + (high - low) / 2;
        uint32_t nameRva = 0;
        const int order = ReadRva32(file, facts, names + 4 * static_cast<uint64_t>(at), &nameRva)
                              ? CompareNameAt(file, facts, nameRva, name)
                              : 2;
        if (order == 2) {
            lookup.result = ExportResult::kDamaged;
            return lookup;
        }
        if (order > 0) {
            high = at - 1;
        } else if (order < 0) {
            low = at + 1;
        } else {
            uint8_t ordinalBytes[2];
            if (!ReadRva(file, facts, ordinals + 2 * static_cast<uint64_t>(at), ordinalBytes, 2)) {
                lookup.result = ExportResult::kDamaged;
                return lookup;
            }
            return ExportAt(file, facts, directory, Le16(ordinalBytes));
        }
    }
    return lookup;
}

ExportLookup FindExportByOrdinal(const ByteSource& file, const ImageFacts& facts,
                                 uint32_t ordinal) {
    ExportLookup lookup;
    if (!facts.problem.empty() || facts.exportRva == 0) return lookup;
    uint8_t directory[kExportDirectorySize];
    if (!ReadRva(file, facts, facts.exportRva, directory, sizeof(directory))) {
        lookup.result = ExportResult::kDamaged;
        return lookup;
    }
    // The loader subtracts the table's base from the ordinal, as an unsigned number.
    return ExportAt(file, facts, directory, static_cast<uint32_t>(ordinal - Le32(directory + 16)));
}

Decoration DecorationOf(const std::string& exported, const std::string& entry) {
    const auto startsWith = [&exported](const std::string& text) {
        return exported.compare(0, text.size(), text) == 0;
    };
    const auto sameLetter = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    };
    // Every decoration starts with one of these, which tells most names apart at once.
    if (entry.empty() || exported.empty() || exported == entry ||
        (exported[0] != '?' && exported[0] != '_' && !sameLetter(exported[0], entry[0])))
        return Decoration::kNone;
    if (startsWith("?" + entry + "@") || startsWith("_Z" + std::to_string(entry.size()) + entry))
        return Decoration::kCpp;
    const std::string stdcall = "_" + entry + "@";
    if (exported.size() > stdcall.size() && startsWith(stdcall) &&
        std::all_of(exported.begin() + static_cast<ptrdiff_t>(stdcall.size()), exported.end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
        return Decoration::kStdcall;
    if (exported.size() == entry.size() &&
        std::equal(exported.begin(), exported.end(), entry.begin(), sameLetter))
        return Decoration::kLetterCase;
    return Decoration::kNone;
}

namespace {

// The printable ASCII name at `rva`, at most `limit` bytes of it; `whole` when its zero byte came
// within them. Read a few bytes at a time, and one at a time where the image ends.
std::string ReadName(const ByteSource& file, const ImageFacts& facts, uint64_t rva, size_t limit,
                     bool* whole) {
    std::string name;
    char chunk[16];
    *whole = false;
    while (name.size() < limit) {
        const size_t got = ReadRva(file, facts, rva + name.size(), chunk, sizeof(chunk))
                               ? sizeof(chunk)
                               : ReadRva(file, facts, rva + name.size(), chunk, 1);
        if (got == 0) break;
        for (size_t i = 0; i < got && name.size() < limit; ++i) {
            if (chunk[i] <= 0x20 || chunk[i] >= 0x7F) {
                *whole = chunk[i] == 0;
                return name;
            }
            name.push_back(chunk[i]);
        }
    }
    return name;
}

}  // namespace

DecoratedExport FindDecoratedExport(const ByteSource& file, const ImageFacts& facts,
                                    const std::string& entry) {
    uint8_t directory[kExportDirectorySize];
    if (!facts.problem.empty() || facts.exportRva == 0 ||
        !ReadRva(file, facts, facts.exportRva, directory, sizeof(directory)))
        return {};
    // The name table at once: a table the image does not hold whole gives no hint.
    std::vector<uint8_t> names(4 *
                               static_cast<size_t>(std::min(Le32(directory + 24), kNamesScanned)));
    if (!ReadRva(file, facts, Le32(directory + 32), names.data(), names.size())) return {};
    for (size_t at = 0; at < names.size(); at += 4) {
        const uint32_t nameRva = Le32(names.data() + at);
        // Its first bytes rule most names out; only a possible decoration is read whole.
        bool whole = false;
        std::string name = ReadName(file, facts, nameRva, entry.size() + kDecorationLength, &whole);
        if (!whole && DecorationOf(name, entry) != Decoration::kNone)
            name = ReadName(file, facts, nameRva, kDecoratedNameLimit + 1, &whole);
        if (!whole) continue;
        const Decoration decoration = DecorationOf(name, entry);
        if (decoration != Decoration::kNone) return {decoration, name};
    }
    return {};
}

ImportTable ImportedDlls(const ByteSource& file, const ImageFacts& facts) {
    ImportTable table;
    if (!facts.problem.empty() || facts.importRva == 0) return table;
    for (uint64_t i = 0;; ++i) {
        // More descriptors than the file has room for repeat its data through sections mapped
        // over each other; the loader would read on, the check does not.
        if (i > file.Size() / kImportDescriptorSize) {
            table.unread = true;
            break;
        }
        uint8_t descriptor[kImportDescriptorSize];
        if (!ReadRva(file, facts, facts.importRva + i * kImportDescriptorSize, descriptor,
                     sizeof(descriptor))) {
            table.outside = true;
            break;
        }
        const uint32_t nameRva = Le32(descriptor + 12);
        if (nameRva == 0 || Le32(descriptor + 16) == 0) break;
        // Read a few bytes at a time, and one at a time where the image ends.
        std::string name;
        bool ended = false;
        while (!ended && name.size() < kImportNameLimit) {
            char chunk[16];
            const uint64_t at = static_cast<uint64_t>(nameRva) + name.size();
            const size_t got = ReadRva(file, facts, at, chunk, sizeof(chunk)) ? sizeof(chunk)
                               : ReadRva(file, facts, at, chunk, 1)           ? 1
                                                                              : 0;
            if (got == 0) break;
            for (size_t k = 0; k < got && !ended && name.size() < kImportNameLimit; ++k) {
                ended = chunk[k] == 0;
                if (!ended) name.push_back(chunk[k]);
            }
        }
        if (!ended && name.size() < kImportNameLimit) {
            table.outside = true;
            break;
        }
        table.dlls.push_back(name);
    }
    return table;
}

}  // namespace image
