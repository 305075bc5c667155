#pragma once

// The characters the uploader never writes as they are, in a text file, in
// --show's output or in a file name, because they change how the text
// around them reads: the C0 and C1 controls (line breaks and escape
// sequences among them), the Unicode line and paragraph separators, and the
// bidirectional marks, embeddings, overrides and isolates (a right-to-left
// override turns "ab\u202Egpj.exe" into what shows as "abexe.jpg").
// Text writes them as <U+XXXX>, a file name as '_'. No Windows headers here,
// so the dump reader that uses it can also be fuzzed natively.
#include <cstdint>

inline bool IsDisguising(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}
