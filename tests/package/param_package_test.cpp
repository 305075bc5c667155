#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "extrun/package.h"
#include "package/package_builder.h"
#include "package/package_image.h"
#include "package/param_package.h"
#include "test_support.h"

using package::RecordSpec;

namespace {

// What FindRecord(tag, name) gives for the package `text`: the data as a string, or "<none>".
std::string Lookup(const std::string& text, const std::string& name, const char* tag = "dmms") {
    ParamPackage p;
    p.Load(text.c_str(), text.size());
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (!p.FindRecord(tag, name.c_str(), &data, &length)) return "<none>";
    return std::string(reinterpret_cast<const char*>(data), length);
}

// A package of `records` whose image has `value` written at byte `at`
// (little-endian, `size` bytes).
std::string Package(const std::vector<RecordSpec>& records, size_t at = 0, uint32_t value = 0,
                    int size = 0) {
    std::vector<uint8_t> image = package::BuildImage(records);
    for (int i = 0; i < size; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return package::EncodePackage(image);
}

int64_t AvailableAddressSpace() {
    MEMORYSTATUSEX memory = {sizeof(memory)};
    GlobalMemoryStatusEx(&memory);
    return static_cast<int64_t>(memory.ullAvailVirtual);
}

struct PackRun {
    DWORD exitCode;
    std::string output;
};

PackRun Pack(const std::wstring& arguments) {
    const std::wstring tool = testsupport::BinPath(L"extrun-pack.exe");
    PackRun run{0, {}};
    const testsupport::ProcessResult r =
        testsupport::RunProcess(L"\"" + tool + L"\" " + arguments, L"", 30000, tool, &run.output);
    EXPECT_TRUE(r.started) << "start failed with error " << r.startError;
    run.exitCode = r.exitCode;
    while (!run.output.empty() && (run.output.back() == '\n' || run.output.back() == '\r'))
        run.output.pop_back();
    return run;
}

}  // namespace

TEST(ParamPackage, FindsTheFirstRecordOfTheTagWhoseNameLeadsWithTheNameAskedFor) {
    // Each package holds a record "first" under `tag` and `name`, then a
    // "dmms" record "cmd_line" holding "second"; "cmd_line" is asked for.
    const struct {
        const char* tag;
        const char* name;
        const char* askedTag;
        const char* expected;
    } cases[] = {
        {"dmms", "cmd", "dmms", "first"},  // a leading part of the name
        {"dmmsX", "", "dmms", "first"},    // the empty name leads every name; 4 tag bytes
        {"dmms", "cmd_line_2", "dmms", "second"},
        {"dmms", "CMD_LINE", "dmms", "second"},  // case counts
        {"dmms", "cmd_lime", "dmms", "second"},
        {"xxxx", "cmd_line", "dmms", "second"},  // another tag is stepped over
        {"xxxx", "cmd_line", "xxxx", "first"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Lookup(Package({{c.tag, c.name, "first"}, {"dmms", "cmd_line", "second"}}),
                         "cmd_line", c.askedTag),
                  c.expected)
            << c.tag << " " << c.name;
    // A name is stored in 50 bytes and compared over those only.
    const std::string n50(50, 'n'), big(0x1030201, 'd');  // each byte of its length differs
    EXPECT_EQ(Lookup(Package({{"dmms", n50, "data"}}), n50 + "-and-more"), "data");
    EXPECT_EQ(Lookup(Package({{"dmms", n50, "data"}}), n50.substr(0, 49)), "<none>");
    // The decoded 16 MiB go back once the record is found.
    const int64_t before = AvailableAddressSpace();
    EXPECT_EQ(Lookup(Package({{"dmms", "cmd_line", big}}), "cmd_line"), big);
    EXPECT_LT(before - AvailableAddressSpace(), int64_t{8} << 20);
}

TEST(ParamPackage, TextsThatHoldNoPackageGiveNoRecords) {
    const std::vector<RecordSpec> one = {{"dmms", "cmd_line", "x"}};
    // The same image scrambled with other keys: every byte flipped.
    std::vector<uint8_t> flipped = package::BuildImage(one);
    for (auto& b : flipped) b ^= 0x5A;
    const std::string texts[] = {
        "abc",
        "!!!not base64!!!",
        std::string(1 << 20, 'A'),
        package::EncodePackage(flipped),
        Package(one, 8, 0, 4),                                          // no records
        Package(one, 4, 0, 4),                                          // no size
        Package(one, 0, 'x', 1),                                        // magic
        Package(one, 4, static_cast<uint32_t>(flipped.size() + 1), 4),  // past the text
        Package(one, 4, 11, 4),                                         // inside the header
        package::EncodePackage({'d', 'h', 'm'}),
    };
    for (const std::string& text : texts) {
        ParamPackage p;
        EXPECT_EQ(p.Load(text.c_str(), text.size()), 1) << text.substr(0, 80);
        EXPECT_EQ(p.RecordCount(), 0u) << text.substr(0, 80);
        EXPECT_EQ(Lookup(text, "cmd_line"), "<none>") << text.substr(0, 80);
    }
    // Null or empty text is refused and keeps what was loaded.
    ParamPackage p;
    EXPECT_EQ(p.RecordCount(), 0u);  // none before a load
    p.Load(Package(one).c_str(), Package(one).size());
    EXPECT_EQ(p.Load(nullptr, 10) + p.Load("", 0), 0);
    EXPECT_EQ(p.RecordCount(), 1u);
}

TEST(ParamPackage, RecordsPastTheImageOrTheCountAreNeverRead) {
    const std::vector<RecordSpec> two = {{"dmms", "a", "first"}, {"dmms", "b", "second"}};
    // The second record's data length points far beyond the image.
    const size_t second = package::kHeaderSize + package::kRecordHeadSize + 5;
    std::vector<uint8_t> image = package::BuildImage(two);
    for (int i = 0; i < 4; ++i) image[second + 54 + i] = i == 3 ? 0x7F : 0xFF;
    image[8] = 3;  // and a third record is counted but absent
    const std::string beyond = package::EncodePackage(image);
    EXPECT_EQ(Lookup(beyond, "a"), "first");
    EXPECT_EQ(Lookup(beyond, "b"), "<none>");
    EXPECT_EQ(Lookup(beyond, "c"), "<none>");
    const PackRun dumped = Pack(L"--dump=" + std::wstring(beyond.begin(), beyond.end()));
    EXPECT_NE(dumped.output.find("record 1: runs past the end"), std::string::npos);
    EXPECT_EQ(dumped.exitCode, 1u);
    EXPECT_EQ(Lookup(Package(two, 8, 1u << 24, 4), "b"), "second");  // a count's top byte alone
    EXPECT_EQ(Lookup(Package(two, 8, 1, 4), "b"), "<none>");
    EXPECT_EQ(Lookup(Package({{"dmms", "e", ""}}), "e"), "");  // a last record with no data
    EXPECT_EQ(Lookup(Package({{"dmms", "a", "1"}}, 8, 1000000, 4), "zzz"), "<none>");
}

TEST(ParamPackage, DecodesAPackageScrambledByAnIndependentProducer) {
    // Made outside this code base from the published format and keys: one
    // "dmms" record "cmd_line" holding app.exe --x="y z" in UTF-16LE.
    const std::string text =
        "AoVFcXWAMIPwWT+IsLsz9cyND+9BXMxgN68WmgOGqaqv2QbRLJ0+"
        "8yVzDu2aF4cLVKpeRUQWxCYBOXhQQBKz6OX1SHYKchCqGJC5Kg/"
        "Yd468kMOBCOfROf6F0kiwSoKoKwjreaUduKg=";
    EXPECT_EQ(Lookup(text, "cmd_line"), package::Utf16Bytes(L"app.exe --x=\"y z\""));
    // The builder makes the same bytes, its name field zero-filled.
    EXPECT_EQ(Package({{"dmms", "cmd_line", package::Utf16Bytes(L"app.exe --x=\"y z\"")}}), text);
}

TEST(ExtrunPack, BuildsPackagesTheLauncherReadsAndListsThemBack) {
    testsupport::TempDir dir(L"pack");
    ASSERT_TRUE(testsupport::WriteBytes(dir / L"blob.bin", std::string("A\0\0\0B\0", 6)));
    ASSERT_TRUE(testsupport::WriteBytes(dir / L"note.txt", "hello world\n"));
    const std::wstring commandLine = L"extrun.exe --dll=ext\\\u6269\u5c55 \u00e9.dll --entry=Run";
    const PackRun built =
        Pack(L"\"--cmd-line=" + commandLine + L"\" \"--text=no te~=h\u0101\" --file=blob=" +
             dir / L"blob.bin" + L" --file=note=" + dir / L"note.txt");
    ASSERT_EQ(built.exitCode, 0u) << built.output;
    EXPECT_EQ(Lookup(built.output, "cmd_line"), package::Utf16Bytes(commandLine));
    EXPECT_EQ(Lookup(built.output, "no te~"), std::string("h\0\x01\x01", 4));
    EXPECT_EQ(Lookup(built.output, "blob"), std::string("A\0\0\0B\0", 6));

    // Listed whole, in UTF-8 to a file or pipe; bytes that read both ways are shown both ways,
    // bytes that read neither way as no text; the launcher's command line last.
    ASSERT_TRUE(testsupport::WriteBytes(dir / L"package.txt", built.output));
    const PackRun listed = Pack(L"--dump-file=" + dir / L"package.txt");
    EXPECT_EQ(listed.exitCode, 0u);
    const std::string text = testsupport::ToUtf8(commandLine);
    EXPECT_EQ(listed.output.substr(listed.output.find("record 0")),
              "record 0: tag=dmms name=\"cmd_line\" length=82 text=\"" + text +
                  "\"\r\nrecord 1: tag=dmms name=\"no te~\" length=4 text=\"h\xc4\x81\"\r\n"
                  "record 2: tag=dmms name=\"blob\" length=6 (not text)\r\nrecord 3: tag=dmms "
                  "name=\"note\" length=12 text=\"\xe6\x95\xa8\xe6\xb1\xac\xe2\x81\xaf\xe6\xbd\xb7"
                  "\xe6\xb1\xb2\xe0\xa9\xa4\" utf-8=\"hello world<U+000A>\"\r\nlauncher runs: \"" +
                  text + "\" from record 0")
        << listed.output;
    // Tag and name bytes outside printable ASCII are listed as '?'; a control unit or byte as
    // its number, a surrogate without its partner too; a final zero unit ends a text. The
    // launcher takes the first record whose name leads "cmd_line", and cuts it to 4095 units.
    const std::string odd =
        Package({{"d\x01ms", "n ~\x7f\xe9", "x"},
                 {"dmms", "c", package::Utf16Bytes(std::wstring(5000, L'w') + L"\x01\xD800")},
                 {"dmms", "t", std::string("h\0i\0\0\0", 6)},
                 {"dmms", "cmd_line", "x"}});
    const PackRun oddListed = Pack(L"--dump=" + std::wstring(odd.begin(), odd.end()));
    EXPECT_NE(oddListed.output.find("tag=d?ms name=\"n ~??\" length=1 utf-8=\"x\"\r\nrecord 1: "
                                    "tag=dmms name=\"c\" length=10004 text=\"" +
                                    std::string(5000, 'w') +
                                    "<U+0001><U+D800>\"\r\nrecord 2: "
                                    "tag=dmms name=\"t\" length=6 text=\"hi\"\r\n"),
              std::string::npos)
        << oddListed.output;
    EXPECT_NE(oddListed.output.find("launcher runs: \"" + std::string(4095, 'w') +
                                    "\" from record 1, cut to 4095 of its 5002 units"),
              std::string::npos);
}

TEST(ExtrunPack, RefusesMalformedInputWithAMessage) {
    const std::string noRecords = Package({{"dmms", "a", "1"}}, 8, 0, 4);
    testsupport::TempDir dir(L"pack");
    const std::wstring big = dir / L"big.txt";  // the smallest file refused: 64 MiB
    ASSERT_TRUE(testsupport::WriteBytes(big, std::string(64 << 20, 'A')));
    struct Case {
        std::wstring arguments;
        const char* message;
        DWORD exitCode = 2;
    } cases[] = {
        {L"", "usage"},
        {L"--bogus", "usage"},
        {L"--text=no-equals-sign", "bad record"},
        {L"--text==empty-name", "bad record"},
        {L"--text=\x1f=x", "bad record"}, {L"--text=\x7f=x", "bad record"},
        {L"--text=" + std::wstring(51, L'n') + L"=x", "is 51 characters long; its field holds 50"},
        {L"--cmd-line=" + std::wstring(4096, L'x'), "4096 UTF-16 units long; the launcher takes"},
        {L"-h", "usage", 0}, {L"--help", "usage", 0}, {L"/?", "usage", 0},
        {L"--file=blob=C:\\no\\such\\file", "cannot read"},
        {L"--file=no-equals-sign", "bad record"},
        {L"--dump=!!!", "not base64"},
        {L"--dump=\u00e9AAA", "not base64"},
        {L"--dump=abc", "not a package"},
        {L"--dump=" + std::wstring(noRecords.begin(), noRecords.end()), "not a package"},
        {L"--dump-file=C:\\no\\such\\file", "cannot read"},
        {L"--dump-file=" + big, "cannot read"},
    };
    for (const Case& c : cases) {
        const PackRun run = Pack(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << testing::PrintToString(c.arguments);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
}

// A product's own program is told why, in the words extrun-pack prints where it refuses the same,
// and reads back what it packed.
TEST(ExtrunPack, TheLibraryRefusesAsExtrunPackDoesAndSaysWhy) {
    const struct {
        std::vector<extrun::PackageRecord> records;
        std::wstring reason;
    } cases[] = {
        {{}, L"no record"},
        {{{"", "x"}}, L"bad record name \"\" (1-50 bytes, none of them zero)"},
        {{{std::string("a\0\xe9", 3), "x"}},
         L"bad record name \"a<U+0000>\u00e9\" (1-50 bytes, none of them zero)"},
        {{{"a", "x"}, {std::string(51, 'n'), "x"}},
         L"record name \"" + std::wstring(51, L'n') +
             L"\" is 51 characters long; its field holds 50"},
        {{extrun::CommandLineRecord(std::wstring(4096, L'x'))},
         L"the command line is 4096 UTF-16 units long; the launcher takes at most 4095"},
    };
    for (const auto& c : cases) {
        std::wstring reason;
        EXPECT_EQ(extrun::MakePackage(c.records, &reason), "");
        EXPECT_EQ(reason, c.reason);
    }
    std::wstring reason = L"untouched";
    EXPECT_NE(extrun::MakePackage({{std::string(50, 'n'), "x"},
                                   extrun::CommandLineRecord(std::wstring(4095, L'x'))},
                                  &reason),
              "");
    EXPECT_EQ(reason, L"untouched");
    std::vector<extrun::PackageRecord> read;
    EXPECT_FALSE(extrun::ReadPackage("abc", &read));
    ASSERT_TRUE(extrun::ReadPackage(extrun::MakePackage({{"a", "1"}, {"b", "2"}}), &read));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].name + read[0].data + read[1].name + read[1].data, "a1b2");
}
