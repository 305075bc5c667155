#include "common/escaped_text.h"

std::wstring CodePointText(uint32_t point) {
    constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring digits;
    for (; point != 0 || digits.size() < 4; point >>= 4)
        digits.insert(digits.begin(), kDigits[point & 0xF]);
    return L"<U+" + digits + L">";
}

std::wstring EscapeCodePoints(std::wstring_view text, bool (*byNumber)(uint32_t point)) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t first = i;
        uint32_t point = text[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (byNumber(point))
            out += CodePointText(point);
        else
            out.append(text.substr(first, i + 1 - first));
    }
    return out;
}

std::wstring EscapeControls(std::wstring_view text) {
    return EscapeCodePoints(text, [](uint32_t point) { return point < 0x20; });
}
