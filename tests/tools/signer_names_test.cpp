#include <gtest/gtest.h>

#include "signer_names.h"
#include "test_support.h"

// Names one unit from the accepted "Tessaly Software Technology Co., Ltd."
// each way an editor can make them: a unit changed, added or left out.
TEST(NearestAcceptedSigner, NamesTheClosestAcceptedNameHowItDiffersAndByHowManyEdits) {
    const struct {
        const wchar_t* name;
        const wchar_t* difference;
    } cases[] = {
        {L"Tessaly Software Technology Co., LTD.", L"letter case (2 edits)"},
        {L"Tessaly Software Technology Co., Ltd..",
         L"punctuation, and length (38 units against 37) (1 edit)"},
        {L"TessalySoftware Technology Co., Ltd.",
         L"blanks, and length (36 units against 37) (1 edit)"},
        {L"Tessaly Software Technology Co., Lte.", L"other characters (1 edit)"},
    };
    for (const auto& c : cases) {
        const NearestSigner nearest = NearestAcceptedSigner(c.name);
        EXPECT_EQ(nearest.name, L"Tessaly Software Technology Co., Ltd.");
        EXPECT_EQ(nearest.difference, c.difference) << testsupport::ToUtf8(c.name);
    }
}

TEST(ShowUnits, WritesEveryUnitOutsidePrintableAsciiAsItsCodePoint) {
    // The first pair of all: both halves at the lower end of their ranges.
    EXPECT_EQ(ShowUnits(L"a\u00a0b\U00010000~ \x1f\x7f"), L"a<U+00A0>b<U+10000>~ <U+001F><U+007F>");
    EXPECT_EQ(ShowUnits(L"\U0010FFFF"), L"<U+10FFFF>");  // and the last, at the upper ends
    // A surrogate without its partner shows alone.
    EXPECT_EQ(ShowUnits(L"x\xD83D"), L"x<U+D83D>");
    EXPECT_EQ(ShowUnits(L"\xD83Dz\xDE00\xDC00\xDC00"), L"<U+D83D>z<U+DE00><U+DC00><U+DC00>");
}
