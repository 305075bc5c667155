#include <gtest/gtest.h>

#include <cwchar>
#include <thread>
#include <vector>

#include "common/hresult_error.h"
#include "common/wstring.h"

namespace {

HRESULT CodeOf(void (*f)()) {
    try {
        f();
    } catch (const HResultError& e) {
        return e.Code();
    }
    return S_OK;
}

}  // namespace

TEST(WString, RefusesOutOfRangeAccessAndImpossibleSizesEachWithItsCode) {
    EXPECT_EQ(CodeOf([] { WString().GetBuffer((SIZE_MAX - 24) / 2); }), E_OUTOFMEMORY);  // wraps
    EXPECT_EQ(CodeOf([] { WString().ReleaseBuffer(1); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { WString(L"ab").At(2); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { WString(L"ab").Mid(3); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { WString(nullptr, 4); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { WString(L"a").Append(L"x", SIZE_MAX / 4); }), E_OUTOFMEMORY);
    EXPECT_STREQ(WString(L"ab").Mid(2).c_str(), L"");
    EXPECT_STREQ(WString(L"abcdef").Mid(2, 100).c_str(), L"cdef");
}

TEST(WString, AppendingItsOwnTextIsSafe) {
    WString a(L"xy");
    for (int i = 0; i < 10; ++i) a.Append(a.c_str());
    EXPECT_EQ(a.Length(), 2u << 10);
    EXPECT_EQ(a[a.Length() - 1], L'y');
}

TEST(WString, ReplaceIsCaseSensitiveLeftToRightWithoutOverlap) {
    WString path(L"ext\\LNCH.tpi;lnch.tpi;LNCH.tpiLNCH.tpi");
    EXPECT_EQ(path.Replace(L"LNCH.tpi", L"LaunchModule.tpi"), 3u);
    EXPECT_STREQ(path.c_str(), L"ext\\LaunchModule.tpi;lnch.tpi;LaunchModule.tpiLaunchModule.tpi");
    WString aaa(L"aaa");
    EXPECT_EQ(aaa.Replace(L"aa", L"b"), 1u);
    EXPECT_STREQ(aaa.c_str(), L"ba");
    EXPECT_EQ(aaa.Replace(L"", L"x") + aaa.Replace(nullptr, L"x"), 0u);  // an empty pattern: none
    EXPECT_STREQ(aaa.c_str(), L"ba");
}

TEST(WString, ReverseFindGivesTheLastPlaceOfAUnitAndReleaseBufferTheGivenLength) {
    EXPECT_EQ(WString(L".b.c").ReverseFind(L'.'), 2u);
    EXPECT_EQ(WString(L"abc").ReverseFind(L'.'), WString::npos);
    WString s;
    std::wmemcpy(s.GetBuffer(5), L"ab\0cd", 5);
    s.ReleaseBuffer(5);
    EXPECT_EQ(s.Length(), 5u);
    s.ReleaseBuffer();
    EXPECT_EQ(s.Length(), 2u);
}

TEST(WString, OrdinalOrderComparesUnsignedUnitsAndPrefixesFirst) {
    EXPECT_LT(WString(L"AB"), WString(L"ABC"));
    EXPECT_LT(WString(L"Z"), WString(L"a"));
    EXPECT_LT(WString(L"a"), WString(L"\x00e9"));
    EXPECT_LT(WString(L"\x7fff"), WString(L"\xffff"));
}

TEST(WString, TrimUsesTheRunTimeSpaceTestAndFormatGrowsPastItsFirstBuffer) {
    WString s(L" \t\r\n\x3000 inner text \v\f");
    EXPECT_STREQ(s.Trim().c_str(), L"inner text");
    EXPECT_STREQ(WString(L" one").Trim().c_str(), L"one");
    const std::wstring long_text(1000, L'x');
    EXPECT_EQ(std::wstring(WString::Format(L"<%s>%d", long_text.c_str(), 7).c_str()),
              L"<" + long_text + L">7");
    EXPECT_STREQ(WString::Format(L"%s", L"").c_str(), L"");
}

TEST(WString, CopiesShareTextUntilOneChangesAndKeepTheCountRightOnManyThreads) {
    WString a(L"shared");
    WString b(a);
    EXPECT_EQ(a.c_str(), b.c_str());
    b.Append(L"!");
    b.MakeUpper();
    EXPECT_STREQ(a.c_str(), L"shared");
    EXPECT_STREQ(b.c_str(), L"SHARED!");
    // Its block no longer shared, `a` changes it in place.
    const wchar_t* own = a.c_str();
    a.MakeUpper();
    EXPECT_EQ(a.c_str(), own);
    // A copy made its own ends its text itself, whatever its fresh block held.
    WString lower(a);
    WString(L"xxxxxxx").MakeLower();  // a freed block of the size it needs, full of text
    EXPECT_STREQ(lower.MakeLower().c_str(), L"shared");

    WString shared(L"counted across threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                WString copy(shared);
                WString other = copy;
                ASSERT_EQ(other.Length(), shared.Length());
            }
        });
    for (auto& t : threads) t.join();
    WString last(shared);
    last.Append(L"!");
    EXPECT_STREQ(shared.c_str(), L"counted across threads");
}
