#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "<U+XXXX>": one code point by its number, at least four upper-case hex
// digits, where showing the character itself could mislead a reader.
std::wstring CodePointText(uint32_t point);

// `text` with each code point for which `byNumber` is true written as its
// CodePointText, every other as it stands. A surrogate pair is one code
// point; a surrogate without its partner is a code point of its own.
std::wstring EscapeCodePoints(std::wstring_view text, bool (*byNumber)(uint32_t point));

// `text` with every unit below U+0020 written as its CodePointText. No file
// or folder name holds one, so a real path comes through unchanged, while a
// line break in a value cannot end the line that shows it and start another.
std::wstring EscapeControls(std::wstring_view text);
