#include <gtest/gtest.h>

#include "signer_names.h"
#include "test_support.h"

// Names near the accepted "Tessaly Software Technology Co., Ltd." (37 units: up to 7 edits) and
// "泽姆普罗科技公司" (8 units: up to the least, 2), each way an editor can make them; and names
// too far from any for the nearest to tell anything.
TEST(NearestAcceptedSigner, NamesTheClosestAcceptedNameHowItDiffersAndByHowManyEditsWhenNear) {
    const std::wstring tessaly = L"Tessaly Software Technology Co., Ltd.";
    const struct {
        std::wstring name, nearest;
        const wchar_t* difference;  // null: too far
    } cases[] = {
        {L"Tessaly Software Technology Co., LTD.", tessaly, L"letter case (2 edits)"},
        {tessaly + L".", tessaly, L"punctuation, and length (38 units against 37) (1 edit)"},
        {L"TessalySoftware Technology Co., Ltd.", tessaly,
         L"blanks, and length (36 units against 37) (1 edit)"},
        {L"Tessaly Software Technology Co., Lte.", tessaly, L"other characters (1 edit)"},
        {tessaly + L" (Asia)", tessaly,
         L"other characters, and length (44 units against 37) (7 edits)"},
        {L"泽姆普罗科技股份公司", L"泽姆普罗科技公司",
         L"other characters, and length (10 units against 8) (2 edits)"},
        {tessaly + L" (Japan)", L"", nullptr},
        {L"泽姆普罗科技有限公司.", L"", nullptr},
        {L"Acme Corp", L"", nullptr},
    };
    for (const auto& c : cases) {
        const NearestSigner nearest = NearestAcceptedSigner(c.name);
        EXPECT_EQ(nearest.closeEnough, c.difference != nullptr) << testsupport::ToUtf8(c.name);
        if (!c.difference) continue;
        EXPECT_EQ(nearest.name, c.nearest);
        EXPECT_EQ(nearest.difference, c.difference) << testsupport::ToUtf8(c.name);
    }
}

TEST(ShowUnits, WritesByNumberOnlyWhatCanPassForAnotherCharacterOrForNone) {
    // The first pair of all, both halves at the lower end of their ranges, shows as itself.
    EXPECT_EQ(ShowUnits(L"a\u00a0b\U00010000~ \x1f\x7f"),
              L"a<U+00A0>b\U00010000~ <U+001F><U+007F>");
    EXPECT_EQ(ShowUnits(L"\U0010FFFF"), L"<U+10FFFF>");  // and the last, at the upper ends
    // Look-alikes (Cyrillic e, fullwidth a, mathematical A, dotless i), invisible and format
    // characters; Chinese and accented Latin as themselves.
    EXPECT_EQ(ShowUnits(L"T\u0435ss\uff41ly\u200b \U0001D400\u202e\u0131 泰萨利 \u00e9"),
              L"T<U+0435>ss<U+FF41>ly<U+200B> <U+1D400><U+202E><U+0131> 泰萨利 \u00e9");
    // A surrogate without its partner shows alone.
    EXPECT_EQ(ShowUnits(L"x\xD83D"), L"x<U+D83D>");
    EXPECT_EQ(ShowUnits(L"\xD83Dz\xDE00\xDC00\xDC00"), L"<U+D83D>z<U+DE00><U+DC00><U+DC00>");
}
