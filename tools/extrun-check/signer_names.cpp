#include "signer_names.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <utility>
#include <vector>

#include "common/escaped_text.h"
#include "trust/accepted_signers.h"

namespace {

// What ShowUnits writes by number, in ascending order.
constexpr struct {
    uint32_t first, last;
} kDeceptive[] = {
    {0x0000, 0x001F},     // controls
    {0x007F, 0x00A0},     // delete, controls, no-break space
    {0x00AD, 0x00AD},     // soft hyphen
    {0x0131, 0x0131},     // dotless i
    {0x017F, 0x017F},     // long s
    {0x0180, 0x058F},     // Latin Extended-B, IPA, modifiers, combining marks, Greek, Cyrillic,
                          // Armenian
    {0x061C, 0x061C},     // Arabic letter mark
    {0x115F, 0x1160},     // Hangul fillers
    {0x13A0, 0x13FF},     // Cherokee
    {0x1680, 0x1680},     // Ogham space
    {0x17B4, 0x17B5},     // Khmer inherent vowels
    {0x180B, 0x180F},     // Mongolian selectors and vowel separator
    {0x1AB0, 0x1AFF},     // combining marks
    {0x1D00, 0x1EFF},     // phonetic letters, combining marks, Latin with marks below
    {0x2000, 0x22FF},     // blanks, invisible and direction marks, dashes, quotes, dots,
                          // super- and subscripts, letter-like symbols, Roman numerals,
                          // mathematical operators
    {0x2460, 0x24FF},     // enclosed letters and digits
    {0x2C60, 0x2C7F},     // Latin Extended-C
    {0x2DE0, 0x2DFF},     // Cyrillic Extended-A
    {0x3000, 0x3000},     // ideographic space
    {0x3164, 0x3164},     // Hangul filler
    {0xA4D0, 0xA4FF},     // Lisu
    {0xA640, 0xA69F},     // Cyrillic Extended-B
    {0xA720, 0xA7FF},     // Latin Extended-D
    {0xD800, 0xF8FF},     // surrogates without a partner, private use
    {0xFE00, 0xFE0F},     // variation selectors
    {0xFE20, 0xFE2F},     // combining half marks
    {0xFE50, 0xFE6F},     // small punctuation
    {0xFEFF, 0xFEFF},     // byte order mark
    {0xFF01, 0xFF5E},     // fullwidth ASCII
    {0xFFA0, 0xFFA0},     // halfwidth Hangul filler
    {0xFFF0, 0xFFFF},     // specials
    {0x1D400, 0x1D7FF},   // mathematical letters and digits
    {0xE0000, 0x10FFFF},  // tags, variation selectors, private use
};

bool IsDeceptive(uint32_t point) {
    for (const auto& range : kDeceptive)
        if (point <= range.last) return point >= range.first;
    return false;
}

enum Ignore : unsigned { kCase = 1, kBlanks = 2, kPunctuation = 4 };

// The ideographic space and the no-break space count as blanks as well.
bool IsBlank(wchar_t c) { return std::iswspace(c) || c == 0x00A0 || c == 0x3000; }

std::wstring Without(const std::wstring& text, unsigned ignore) {
    std::wstring out;
    for (wchar_t c : text) {
        if ((ignore & kBlanks) && IsBlank(c)) continue;
        if ((ignore & kPunctuation) && std::iswpunct(c)) continue;
        out.push_back((ignore & kCase) ? static_cast<wchar_t>(std::towlower(c)) : c);
    }
    return out;
}

size_t EditDistance(const std::wstring& a, const std::wstring& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The smallest set of character classes whose removal makes the two equal.
std::wstring Describe(const std::wstring& name, const std::wstring& accepted) {
    constexpr unsigned kTried[] = {kCase,
                                   kBlanks,
                                   kPunctuation,
                                   kCase | kBlanks,
                                   kCase | kPunctuation,
                                   kBlanks | kPunctuation,
                                   kCase | kBlanks | kPunctuation};
    std::wstring text = L"other characters";
    for (unsigned ignore : kTried) {
        if (Without(name, ignore) != Without(accepted, ignore)) continue;
        text.clear();
        for (const auto& [bit, word] :
             {std::pair{kCase, L"letter case"}, std::pair{kBlanks, L"blanks"},
              std::pair{kPunctuation, L"punctuation"}})
            if (ignore & bit) text += (text.empty() ? L"" : L", ") + std::wstring(word);
        break;
    }
    if (name.size() != accepted.size())
        text += L", and length (" + std::to_wstring(name.size()) + L" units against " +
                std::to_wstring(accepted.size()) + L")";
    return text;
}

}  // namespace

NearestSigner NearestAcceptedSigner(const std::wstring& name) {
    NearestSigner nearest;
    size_t best = static_cast<size_t>(-1);
    for (const SignerNameAccessor accessor : AcceptedSignerNames) {
        const std::wstring accepted = accessor();
        const size_t distance = EditDistance(name, accepted);
        if (distance < best) {
            best = distance;
            nearest.name = accepted;
        }
    }
    nearest.difference = Describe(name, nearest.name) + L" (" + std::to_wstring(best) +
                         (best == 1 ? L" edit)" : L" edits)");
    nearest.closeEnough = best <= std::max<size_t>(2, nearest.name.size() / 5);
    return nearest;
}

std::wstring ShowUnits(const std::wstring& text) { return EscapeCodePoints(text, IsDeceptive); }
