#pragma once

// The characters the uploader never writes as they are, in a text file, in
// --show's output or in a file name, because they change how the text
// around them reads: the C0 and C1 controls (line breaks and escape
// sequences among them), the Unicode line and paragraph separators, and the
// bidirectional marks, embeddings, overrides and isolates (a right-to-left
// override turns "ab\u202Egpj.exe" into what shows as "abexe.jpg").
// Text writes them as <U+XXXX>, a file name as '_'. No Windows headers here,
// so the dump reader that uses it can also be fuzzed natively.
#include <cstddef>
#include <cstdint>

inline bool IsDisguising(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Writes the <U+XXXX> form of a character below U+10000 (as every one
// IsDisguising names is, and every lone surrogate) into `out`, which holds 8
// characters, and returns 8. Done by hand: a dump's names can be a million
// such characters.
template <typename Char>
size_t WriteEscaped(uint32_t c, Char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    out[0] = '<', out[1] = 'U', out[2] = '+';
    out[3] = kDigits[c >> 12 & 0xF], out[4] = kDigits[c >> 8 & 0xF];
    out[5] = kDigits[c >> 4 & 0xF], out[6] = kDigits[c & 0xF];
    out[7] = '>';
    return 8;
}
