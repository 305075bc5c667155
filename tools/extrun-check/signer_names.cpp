#include "signer_names.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <utility>
#include <vector>

#include "trust/accepted_signers.h"

namespace {

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
    return nearest;
}

std::wstring ShowUnits(const std::wstring& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned point = text[i];
        if (point >= 0x20 && point < 0x7F) {
            out.push_back(text[i]);
            continue;
        }
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00);
        wchar_t code[16];
        _snwprintf(code, 16, L"<U+%04X>", point);
        out += code;
    }
    return out;
}
