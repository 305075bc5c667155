#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/package_builder.h"
#include "package/package_image.h"
#include "package/param_package.h"

using package::RecordSpec;

namespace {

// What FindRecord(tag "dmms", name) gives for a package built from `records`:
// the data as a string, or "<none>".
std::string Lookup(const std::string& text, const char* name, const char* tag = "dmms") {
    ParamPackage p;
    p.Load(text.c_str(), text.size());
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (!p.FindRecord(tag, name, &data, &length)) return "<none>";
    return std::string(reinterpret_cast<const char*>(data), length);
}

std::string Encode(const std::vector<RecordSpec>& records) {
    return package::EncodePackage(package::BuildImage(records));
}

void PutLe32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

TEST(ParamPackage, FindsTheCommandLineRecordWithItsLength) {
    const std::string data = package::Utf16Bytes(L"extrun.exe --dll=a.dll");
    EXPECT_EQ(Lookup(Encode({{"dmms", "other", "x"}, {"dmms", "cmd_line", data}}), "cmd_line"),
              data);
}

TEST(ParamPackage, RecordNamesMatchWhenTheyAreALeadingPartOfTheName) {
    struct Case {
        const char* recordName;
        const char* expected;
    } cases[] = {
        {"cmd", "first"},          // a leading part of "cmd_line"
        {"", "first"},             // the empty name is a leading part of every name
        {"cmd_line_2", "second"},  // longer than the name asked for
        {"CMD_LINE", "second"},    // case counts
        {"cmd_lime", "second"},
    };
    for (const Case& c : cases) {
        const std::string text =
            Encode({{"dmms", c.recordName, "first"}, {"dmms", "cmd_line", "second"}});
        EXPECT_EQ(Lookup(text, "cmd_line"), c.expected) << "record named '" << c.recordName << "'";
    }
}

TEST(ParamPackage, RecordsWithAnotherTagAreSteppedOver) {
    const std::string text = Encode({{"xxxx", "cmd_line", "wrong"}, {"dmms", "cmd_line", "right"}});
    EXPECT_EQ(Lookup(text, "cmd_line"), "right");
    EXPECT_EQ(Lookup(text, "cmd_line", "xxxx"), "wrong");
}

TEST(ParamPackage, AFiftyByteNameIsComparedOverItsFiftyBytesOnly) {
    const std::string full(50, 'n');
    const std::string text = Encode({{"dmms", full, "data"}});
    EXPECT_EQ(Lookup(text, (full + "-and-more").c_str()), "data");
    EXPECT_EQ(Lookup(text, full.substr(0, 49).c_str()), "<none>");
}

TEST(ParamPackage, TextsThatHoldNoPackageGiveNoRecords) {
    std::vector<uint8_t> zeroCount = package::BuildImage({{"dmms", "cmd_line", "x"}});
    PutLe32(zeroCount, 8, 0);
    std::vector<uint8_t> zeroTotal = package::BuildImage({{"dmms", "cmd_line", "x"}});
    PutLe32(zeroTotal, 4, 0);
    std::vector<uint8_t> badMagic = package::BuildImage({{"dmms", "cmd_line", "x"}});
    badMagic[0] = 'x';
    std::vector<uint8_t> tooBig = package::BuildImage({{"dmms", "cmd_line", "x"}});
    PutLe32(tooBig, 4, static_cast<uint32_t>(tooBig.size() + 1));
    std::vector<uint8_t> tooSmall = package::BuildImage({{"dmms", "cmd_line", "x"}});
    PutLe32(tooSmall, 4, 11);

    // The same image scrambled with other keys: flip every byte.
    std::string otherKeys;
    {
        std::vector<uint8_t> image = package::BuildImage({{"dmms", "cmd_line", "x"}});
        for (auto& b : image) b ^= 0x5A;
        otherKeys = package::EncodePackage(image);
    }
    const std::string texts[] = {"abc",
                                 "!!!not base64!!!",
                                 otherKeys,
                                 package::EncodePackage(zeroCount),
                                 package::EncodePackage(zeroTotal),
                                 package::EncodePackage(badMagic),
                                 package::EncodePackage(tooBig),
                                 package::EncodePackage(tooSmall),
                                 package::EncodePackage({'d', 'h', 'm'})};
    for (const std::string& text : texts) {
        ParamPackage p;
        EXPECT_EQ(p.Load(text.c_str(), text.size()), 1) << text;
        EXPECT_EQ(p.RecordCount(), 0u) << text;
        EXPECT_EQ(Lookup(text, "cmd_line"), "<none>") << text;
    }
}

TEST(ParamPackage, NullOrEmptyTextIsRefusedAndKeepsTheContent) {
    const std::string text = Encode({{"dmms", "cmd_line", "kept"}});
    ParamPackage p;
    p.Load(text.c_str(), text.size());
    EXPECT_EQ(p.Load(nullptr, 10), 0);
    EXPECT_EQ(p.Load("", 0), 0);
    EXPECT_EQ(p.RecordCount(), 1u);
}

TEST(ParamPackage, RecordsThatRunPastTheImageAreNeverRead) {
    // Second record's data length points far beyond the image; a third record
    // is counted but absent. Only whole records before them are found.
    std::vector<uint8_t> image =
        package::BuildImage({{"dmms", "a", "first"}, {"dmms", "b", "second"}});
    const size_t second = package::kHeaderSize + package::kRecordHeadSize + 5;
    PutLe32(image, second + 54, 0x7FFFFFFF);
    PutLe32(image, 8, 3);
    const std::string text = package::EncodePackage(image);
    EXPECT_EQ(Lookup(text, "a"), "first");
    EXPECT_EQ(Lookup(text, "b"), "<none>");
    EXPECT_EQ(Lookup(text, "c"), "<none>");

    // A whole record beyond the header's count is not read either.
    std::vector<uint8_t> shortCount =
        package::BuildImage({{"dmms", "a", "first"}, {"dmms", "b", "second"}});
    PutLe32(shortCount, 8, 1);
    EXPECT_EQ(Lookup(package::EncodePackage(shortCount), "b"), "<none>");

    // A header that counts more records than the image has room for heads.
    std::vector<uint8_t> liar = package::BuildImage({{"dmms", "a", "1"}});
    PutLe32(liar, 8, 1000000);
    EXPECT_EQ(Lookup(package::EncodePackage(liar), "zzz"), "<none>");
}

TEST(ParamPackage, AMegabyteOfTextIsDecodedWithoutHarm) {
    std::string big(1 << 20, 'A');
    EXPECT_EQ(Lookup(big, "cmd_line"), "<none>");
    const std::string data(600000, 'd');
    EXPECT_EQ(Lookup(Encode({{"dmms", "cmd_line", data}}), "cmd_line"), data);
}

TEST(ParamPackage, DecodesAPackageScrambledByAnIndependentProducer) {
    // Made outside this code base from the published format and keys: one
    // "dmms" record "cmd_line" holding app.exe --x="y z" in UTF-16LE.
    const std::string text =
        "AoVFcXWAMIPwWT+IsLsz9cyND+9BXMxgN68WmgOGqaqv2QbRLJ0+"
        "8yVzDu2aF4cLVKpeRUQWxCYBOXhQQBKz6OX1SHYKchCqGJC5Kg/"
        "Yd468kMOBCOfROf6F0kiwSoKoKwjreaUduKg=";
    EXPECT_EQ(Lookup(text, "cmd_line"), package::Utf16Bytes(L"app.exe --x=\"y z\""));
}
