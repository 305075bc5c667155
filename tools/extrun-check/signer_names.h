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
    // Few enough edits for a mistyped name: at most a fifth of the accepted
    // name's length, and never fewer than 2. Farther, the nearest name tells
    // nothing.
    bool closeEnough = false;
};

// Nearest by the fewest units added, removed or changed; the first in table
// order on a tie.
NearestSigner NearestAcceptedSigner(const std::wstring& name);

// `text` with each character as itself but those that can pass for another
// or for nothing, written as <U+XXXX> (a surrogate pair as its one code
// point): controls, blanks other than the ASCII space, invisible and format
// characters, combining marks, and letters, digits and punctuation of the
// scripts and forms that imitate ASCII (Greek, Cyrillic, fullwidth,
// mathematical, ...).
std::wstring ShowUnits(const std::wstring& text);
