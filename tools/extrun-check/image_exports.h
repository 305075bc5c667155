#pragma once

// What a DLL's file says about loading it into a 64-bit process and about
// one of its exports, read from the file's bytes alone: nothing is mapped or
// run. Every offset and size taken from the file is checked against the
// file's size before it is read, so a damaged or hostile file gives an
// answer, never a read outside it. No Windows headers here, so the reader
// can also be fuzzed natively.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace image {

// The file's bytes, read on demand.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Fills `out` with `size` bytes from `offset`; false when they are not
    // all in the file (or cannot be read), and `out` is then undefined.
    virtual bool Read(uint64_t offset, void* out, size_t size) const = 0;
};

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
};

struct ImageFacts {
    // Empty when the headers are whole; else what is wrong, and the rest is
    // as far as it was read.
    std::string problem;
    uint16_t machine = 0;
    // The optional header's form: 0x20B for a 64-bit image, 0x10B for a
    // 32-bit one.
    uint16_t magic = 0;
    bool isDll = false;
    uint32_t headersSize = 0;
    uint32_t exportRva = 0;
    uint32_t exportSize = 0;
    uint32_t importRva = 0;
    std::vector<Section> sections;
};

// Reads the DOS, file and optional headers and the section table.
ImageFacts ReadImageFacts(const ByteSource& file);

// A 64-bit process can map it: whole headers, an x64 machine and the 64-bit
// optional header.
bool LoadableIn64BitProcess(const ImageFacts& facts);

// A name for the machine field ("AMD64", "i386", "ARM64", ...), or empty.
const char* MachineName(uint16_t machine);

enum class ExportResult {
    kFound,
    // Found, but it names an export of another DLL, which the loader then
    // loads.
    kForwarded,
    kMissing,
    // The export table points outside the image.
    kDamaged,
};

struct ExportLookup {
    ExportResult result = ExportResult::kMissing;
    // The number of exports by name the table claims.
    uint32_t namedExports = 0;
    // "DLL.Function" for a forwarded export, as the file has it (its first 1024 bytes), and
    // whether that is the whole text.
    std::string forwardedTo;
    bool forwarderWhole = false;
};

// Looks `name` up as the loader does for GetProcAddress: a binary search of
// the sorted name table, byte by byte as strcmp compares, then the ordinal
// and the function's address. A name the search cannot reach in an unsorted
// table is missing for the loader too.
ExportLookup FindExport(const ByteSource& file, const ImageFacts& facts, const std::string& name);

// The export of `ordinal`, as a forwarder "DLL.#ordinal" names it: the table's base subtracted,
// it is the place in the function table.
ExportLookup FindExportByOrdinal(const ByteSource& file, const ImageFacts& facts, uint32_t ordinal);

// How an exported name stands for `entry` without being it.
enum class Decoration {
    kNone,
    kCpp,         // a C++ name: "?Run@@YAXPEB_W@Z" (MSVC), "_Z3RunPKw" (GCC, clang)
    kStdcall,     // "_Run@8", as a 32-bit __stdcall function is named
    kLetterCase,  // "run": the same letters in another case
};
Decoration DecorationOf(const std::string& exported, const std::string& entry);

struct DecoratedExport {
    Decoration decoration = Decoration::kNone;
    std::string name;  // as the table has it
};

// The first export by name, in table order, that stands for `entry` (see DecorationOf); only
// names of printable ASCII up to 256 bytes, among the first 1024 names, are looked at.
DecoratedExport FindDecoratedExport(const ByteSource& file, const ImageFacts& facts,
                                    const std::string& entry);

struct ImportTable {
    std::vector<std::string> dlls;
    // A descriptor or a name lies outside the image: the loader reads past what it maps.
    bool outside = false;
    // More descriptors than the file has room for: the rest was not read.
    bool unread = false;
};

// The DLLs the image imports, by name as its import directory has them, in
// its order, as far as the loader reads the directory (up to a descriptor
// without a name or an address table), each name cut after 256 bytes (no
// path holds a longer one). Where the directory cannot be read whole, what
// could be, and `outside` set.
ImportTable ImportedDlls(const ByteSource& file, const ImageFacts& facts);

}  // namespace image
