#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "file_bytes.h"
#include "image_exports.h"
#include "import_search.h"
#include "test_support.h"

using image::ExportResult;

namespace {

class MemoryBytes : public image::ByteSource {
public:
    explicit MemoryBytes(const std::string& bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool Read(uint64_t offset, void* out, size_t size) const override {
        if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
        std::memcpy(out, bytes_.data() + offset, size);
        return true;
    }

private:
    const std::string& bytes_;
};

uint32_t Le32At(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// The file offset of `rva` by the section that holds it.
size_t OffsetOf(const image::ImageFacts& facts, uint32_t rva) {
    for (const image::Section& s : facts.sections)
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
            return s.rawOffset + (rva - s.virtualAddress);
    return 0;
}

std::string FixtureBytes(const wchar_t* name = L"e2e_ext_unsigned.dll") {
    return testsupport::ReadText(testsupport::BinPath(name));
}

}  // namespace

TEST(ImageReader, NamesWhereAFileCutShortEnds) {
    const std::string whole = FixtureBytes();
    ASSERT_GT(whole.size(), 0x40u);
    const uint32_t pe = Le32At(whole, 0x3C);
    const image::ImageFacts facts = image::ReadImageFacts(MemoryBytes(whole));
    ASSERT_EQ(facts.problem, "");
    ASSERT_EQ(facts.sections.size(), Le32At(whole, pe + 4) >> 16);  // every section, the first too
    EXPECT_EQ(facts.exportSize, Le32At(whole, pe + 24 + 116));      // directory 0's size in PE32+
    EXPECT_TRUE(facts.isDll);
    EXPECT_FALSE(image::ReadImageFacts(MemoryBytes(FixtureBytes(L"extrun-pack.exe"))).isDll);
    const image::Section& last = facts.sections.back();
    const std::pair<size_t, const char*> cuts[] = {
        {63, "shorter than a DOS header: no program or DLL"},
        {64, "the PE header lies outside the file"},
        {pe + 23, "the PE header lies outside the file"},
        {pe + 25, "no optional header"},
        {pe + 24 + 100, "the optional header is cut short"},
        {pe + 24 + 120, "the optional header is cut short"},  // in the import directory's entry
        {pe + 24 + 240 + 8, "the section table runs past the end of the file"},
        {size_t{last.rawOffset} + last.rawSize - 1,
         "a section's data runs past the end of the file"},
    };
    for (const auto& [length, problem] : cuts)
        EXPECT_EQ(image::ReadImageFacts(MemoryBytes(whole.substr(0, length))).problem, problem)
            << length;
    for (const auto& [at, problem] :
         {std::pair<size_t, const char*>{1, "no MZ signature: no program or DLL"},
          {pe + 3, "no PE signature: a DOS program, or damaged"},
          {pe + 25, "an optional header of unknown form"},
          {pe + 24 + 108, ""}}) {  // a count of no directories: no export table
        std::string patched = whole;
        for (const size_t i : {at - 1, at}) patched[i] ^= 0x10;  // and the byte before it
        const image::ImageFacts read = image::ReadImageFacts(MemoryBytes(patched));
        EXPECT_EQ(read.problem, problem) << at;
        EXPECT_EQ(read.exportRva, 0u) << at;
    }
    const std::pair<uint16_t, const char*> machines[] = {
        {0xAA64, "ARM64"}, {0x01C4, "ARM"}, {0x0200, "IA64"}, {0x0166, ""}};
    for (const auto& [machine, name] : machines) EXPECT_STREQ(image::MachineName(machine), name);
    // The imports as the loader reads them, and none where the table is not there.
    const std::string importing = FixtureBytes(L"e2e_ext_importing.dll");
    const image::ImageFacts withImports = image::ReadImageFacts(MemoryBytes(importing));
    EXPECT_EQ(image::ImportedDlls(MemoryBytes(importing), withImports).dlls,
              (std::vector<std::string>{"ADVAPI32.dll", "KERNEL32.dll", "msvcrt.dll", "ole32.dll",
                                        "e2e_dep.dll"}));
    const image::ImportTable cut =
        image::ImportedDlls(MemoryBytes(importing.substr(0, withImports.headersSize)), withImports);
    EXPECT_TRUE(cut.dlls.empty() && cut.outside && !cut.unread);
    // Every descriptor, past 1024 of them, and a directory the image does not hold.
    const std::string many = FixtureBytes(L"e2e_imports_1025.dll");
    const image::ImportTable all =
        image::ImportedDlls(MemoryBytes(many), image::ReadImageFacts(MemoryBytes(many)));
    ASSERT_EQ(all.dlls.size(), 1025u + 4u);  // and the image's own four
    EXPECT_EQ(all.dlls[1024], "extrun_nosuch.dll");
    const std::string outside = FixtureBytes(L"e2e_imports_outside.dll");
    EXPECT_TRUE(
        image::ImportedDlls(MemoryBytes(outside), image::ReadImageFacts(MemoryBytes(outside)))
            .outside);
}

// Each case gives "Run" another address; then the table is put at 0, the names out of reach,
// and the ordinal of "Run" in the last two bytes of the table's section.
TEST(ImageReader, ExportLookupTakesForwardersNoTableAtZeroAndAnOrdinalAtTheSectionsEnd) {
    const std::string whole = FixtureBytes();
    const image::ImageFacts facts = image::ReadImageFacts(MemoryBytes(whole));
    ASSERT_EQ(facts.problem, "");
    const size_t directory = OffsetOf(facts, facts.exportRva);
    const size_t functions = OffsetOf(facts, Le32At(whole, directory + 28));
    ASSERT_TRUE(directory && functions);
    const size_t names = OffsetOf(facts, Le32At(whole, directory + 32));
    uint32_t at = 0;  // the place of "Run" among the names, and of its ordinal
    while (whole.compare(OffsetOf(facts, Le32At(whole, names + 4 * at)), 4, "Run", 4) != 0) ++at;
    const size_t ordinal = OffsetOf(facts, Le32At(whole, directory + 36)) + 2 * at;
    const std::tuple<uint32_t, ExportResult, const char*> cases[] = {
        // Address, result, forwarder: the table's own text, the DLL's name.
        {Le32At(whole, directory + 12), ExportResult::kForwarded, "e2e_ext_unsigned.dll"},
        {facts.exportRva, ExportResult::kForwarded, ""},  // the table's first byte is 0
        {facts.exportRva + facts.exportSize, ExportResult::kFound, ""},
        {facts.exportRva - 1, ExportResult::kFound, ""},
        {0, ExportResult::kMissing, ""},
    };
    for (const auto& [function, result, forwardedTo] : cases) {
        std::string patched = whole;
        std::memcpy(&patched[functions + 4 * (Le32At(whole, ordinal) & 0xFFFF)], &function, 4);
        const image::ExportLookup lookup = image::FindExport(MemoryBytes(patched), facts, "Run");
        EXPECT_EQ(lookup.result, result) << function;
        EXPECT_EQ(lookup.forwardedTo, forwardedTo) << function;
        EXPECT_EQ(lookup.forwarderWhole, result == ExportResult::kForwarded) << function;
    }
    // By ordinal, as a forwarder names one: the table's base and on, none below it.
    const uint32_t base = Le32At(whole, directory + 16);
    EXPECT_EQ(image::FindExportByOrdinal(MemoryBytes(whole), facts,
                                         base + (Le32At(whole, ordinal) & 0xFFFF))
                  .result,
              ExportResult::kFound);
    EXPECT_EQ(image::FindExportByOrdinal(MemoryBytes(whole), facts, base - 1).result,
              ExportResult::kMissing);
    image::ImageFacts none = facts;
    none.exportRva = 0;
    const image::ExportLookup lookup = image::FindExport(MemoryBytes(whole), none, "Run");
    EXPECT_EQ(lookup.result, ExportResult::kMissing);
    EXPECT_EQ(lookup.namedExports, 0u);
    // A table in a section's zero-filled tail has no names; one just past the headers or a
    // section (in no part of the image), or past a file shorter than its headers claim, is unread.
    for (const image::Section& s : facts.sections)
        if (s.rawSize < s.virtualSize) none.exportRva = s.virtualAddress + s.rawSize;
    EXPECT_EQ(image::FindExport(MemoryBytes(whole), none, "Run").namedExports, 0u);
    const uint32_t beyond = static_cast<uint32_t>(whole.size()) + 64;
    for (const auto& [headers, rva] : {std::pair{facts.headersSize, facts.headersSize},
                                       {facts.headersSize, facts.exportRva + facts.exportSize},
                                       {beyond, beyond - 32}}) {
        none.headersSize = headers;
        none.exportRva = rva;
        EXPECT_EQ(image::FindExport(MemoryBytes(whole), none, "Run").result, ExportResult::kDamaged)
            << rva;
    }
    // Every name's address, or the name table's, 2 GiB on: outside the image.
    std::string unreadable = whole, noTable = whole;
    for (uint32_t i = 0; i < Le32At(whole, directory + 24); ++i)
        unreadable[names + 4 * i + 3] ^= 0x80;
    noTable[directory + 35] ^= 0x80;
    for (const std::string* damaged : {&unreadable, &noTable})
        EXPECT_EQ(image::FindExport(MemoryBytes(*damaged), facts, "Run").result,
                  ExportResult::kDamaged);
    for (const char* name : {"Crash", "TwoThreadsCrash"})  // the first name and the last
        EXPECT_EQ(image::FindExport(MemoryBytes(whole), facts, name).result, ExportResult::kFound);
    std::string pastTable = whole;  // an ordinal past the function table names no function
    pastTable[ordinal] = static_cast<char>(Le32At(whole, directory + 20));
    EXPECT_EQ(image::FindExport(MemoryBytes(pastTable), facts, "Run").result,
              ExportResult::kMissing);

    uint32_t end = 0;
    for (const image::Section& s : facts.sections)
        if (facts.exportRva >= s.virtualAddress &&
            facts.exportRva - s.virtualAddress < s.virtualSize)
            end = s.virtualAddress + s.virtualSize;
    std::string moved = whole;
    const uint32_t ordinals = end - 2 - 2 * at;
    std::memcpy(moved.data() + directory + 36, &ordinals, 4);
    moved.replace(OffsetOf(facts, end - 2), 2, whole, ordinal, 2);
    EXPECT_EQ(image::FindExport(MemoryBytes(moved), facts, "Run").result, ExportResult::kFound);
}

TEST(ImageReader, AnExportStandsForAnEntryByItsCppStdcallOrLetterCaseDecorationOnly) {
    using image::Decoration;
    const std::pair<Decoration, std::vector<std::string>> cases[] = {
        {Decoration::kCpp, {"?Run@@YAXPEB_W@Z", "?Run@ns@@YAXPEB_W@Z", "_Z3RunPKw"}},
        {Decoration::kStdcall, {"_Run@8", "_Run@190"}},
        {Decoration::kLetterCase, {"run", "RUN"}},
        {Decoration::kNone,
         {"Run", "?Runner@@YAXPEB_W@Z", "_Z4RunsPKw", "_Z3Ru", "_Run@", "_Run@8x", "Run@8", "rux",
          "runs"}},
    };
    for (const auto& [decoration, names] : cases)
        for (const std::string& name : names)
            EXPECT_EQ(image::DecorationOf(name, "Run"), decoration) << name;
    EXPECT_EQ(image::DecorationOf("_Z10RunAndWaitv", "RunAndWait"), Decoration::kCpp);
    EXPECT_EQ(image::DecorationOf("?@", ""), Decoration::kNone);

    // In the file, with the export "Report" renamed: a name is taken only whole and printable.
    const std::string whole = FixtureBytes();
    const image::ImageFacts facts = image::ReadImageFacts(MemoryBytes(whole));
    const auto renamed = [&whole](const char* name) {
        return std::string(whole).replace(whole.find(std::string("\0Report\0", 8)) + 1, 6, name);
    };
    const auto found = [&facts](const std::string& bytes, const char* entry) {
        return image::FindDecoratedExport(MemoryBytes(bytes), facts, entry).name;
    };
    EXPECT_EQ(found(renamed("_Z3Run"), "Run"), "_Z3Run");
    EXPECT_EQ(found(renamed("?Run@\x01"), "Run"), "");
    EXPECT_EQ(found(whole, "report"), "Report");
}

// A page that could not be read (the file shrank after it was opened) is
// not taken for the first page when that is read next.
TEST(FileBytes, AFailedReadLeavesNoPageBehind) {
    testsupport::TempDir dir(L"bytes");
    const std::wstring path = dir / L"f.bin";
    ASSERT_TRUE(testsupport::WriteBytes(path, std::string(0x20000, 'b')));
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    const FileBytes bytes(file);
    LARGE_INTEGER half;
    half.QuadPart = 0x10000;
    ASSERT_TRUE(SetFilePointerEx(file, half, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    char c = 0;
    EXPECT_FALSE(bytes.Read(0x18000, &c, 1));
    EXPECT_TRUE(bytes.Read(0, &c, 1));
    EXPECT_EQ(c, 'b');
    CloseHandle(file);
}

// API sets are the system's to resolve, whether a file of that name exists or not.
TEST(ImageReader, ApiSetImportsAreTheSystemsAndNotLookedFor) {
    const std::vector<FoundImport> found =
        FindImports(
            testsupport::BinPath(L"e2e_ext_unsigned.dll"),
            {"api-ms-win-extrun-l1-1-0.dll", "EXT-MS-WIN-EXTRUN-L1-1-0.dll", "extrun-nothing.dll"},
            testsupport::BinPath(L""))
            .found;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, L"extrun-nothing.dll");
}
