#pragma once

#include <string>

// The accepted publisher name nearest to a signer's name that is not one,
// and how the two differ, for someone deciding whether the certificate
// is the publisher's own with a mistyped name.
struct NearestSigner {
    std::wstring name;
    // "letter case", "blanks", "punctuation" or "other characters", joined
    // by commas as they combine, the lengths when they differ, and how many
    // units an editor would change, as "(1 edit)" or "(N edits)".
    std::wstring difference;
};

// Nearest by the fewest units added, removed or changed; the first in table
// order on a tie.
NearestSigner NearestAcceptedSigner(const std::wstring& name);

// `text` with every unit outside printable ASCII written as <U+XXXX> (a
// surrogate pair as its one code point), so that look-alike characters and
// invisible ones show.
std::wstring ShowUnits(const std::wstring& text);
