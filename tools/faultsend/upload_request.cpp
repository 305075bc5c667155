#include "upload_request.h"

#include <climits>
#include <cstdio>

#include "text_escape.h"

namespace {

constexpr wchar_t kUsage[] =
    L"expected --pep=<n> --pid=<n> --tid=<n> --src=<text> --ver=<text> --rep=<n> [--restart]";
constexpr wchar_t kRestart[] = L"--restart";

// The value after `name` ("--pid=") in `argument`, or null when the argument
// is another.
const wchar_t* ValueOf(const wchar_t* argument, const wchar_t* name) {
    const size_t length = wcslen(name);
    return wcsncmp(argument, name, length) == 0 ? argument + length : nullptr;
}

// Decimal digits only, as printf writes them, at most `most`.
bool ParseDigits(const wchar_t* text, unsigned long long most, unsigned long long& value) {
    value = 0;
    if (!*text) return false;
    for (; *text; ++text) {
        if (*text < L'0' || *text > L'9') return false;
        const unsigned digit = *text - L'0';
        if (value > (most - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

}  // namespace

bool ParseUploadRequest(int count, const wchar_t* const* arguments, UploadRequest& request,
                        std::wstring& why) {
    static const wchar_t* const kNames[] = {L"--pep=", L"--pid=", L"--tid=",
                                            L"--src=", L"--ver=", L"--rep="};
    constexpr int kNamed = sizeof(kNames) / sizeof(kNames[0]);
    if (count < kNamed || count > kNamed + 1 ||
        (count == kNamed + 1 && wcscmp(arguments[kNamed], kRestart) != 0)) {
        why = std::wstring(kUsage) + L", got " + std::to_wstring(count) + L" arguments";
        return false;
    }
    const wchar_t* values[kNamed];
    for (int i = 0; i < kNamed; ++i) {
        values[i] = ValueOf(arguments[i], kNames[i]);
        if (!values[i]) {
            why = std::wstring(kUsage) + L", got \"" + arguments[i] + L"\" where " + kNames[i] +
                  L" belongs";
            return false;
        }
    }
    // %d writes the rep as it is, sign and all; a process or thread id is never 0.
    const bool repNegative = values[5][0] == L'-';
    unsigned long long pep = 0, pid = 0, tid = 0, rep = 0;
    const bool numbers = ParseDigits(values[0], ULLONG_MAX, pep) && pep != 0 &&
                         ParseDigits(values[1], INT_MAX, pid) && pid != 0 &&
                         ParseDigits(values[2], INT_MAX, tid) && tid != 0 &&
                         ParseDigits(values[5] + repNegative, INT_MAX + 1ULL * repNegative, rep);
    if (!numbers) {
        why = std::wstring(L"a malformed number in ") + arguments[0] + L" " + arguments[1] + L" " +
              arguments[2] + L" " + arguments[5];
        return false;
    }
    request.pep = pep;
    request.pid = static_cast<DWORD>(pid);
    request.tid = static_cast<DWORD>(tid);
    request.source = values[3];
    request.version = values[4];
    request.rep =
        static_cast<int>(repNegative ? -static_cast<long long>(rep) : static_cast<long long>(rep));
    request.restart = count == kNamed + 1;
    return true;
}

std::wstring EscapeText(const std::wstring& text) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const bool high = c >= 0xD800 && c < 0xDC00;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            escaped.append(text, i++, 2);
        } else if (IsDisguising(c) || (c >= 0xD800 && c < 0xE000)) {
            wchar_t code[8];
            escaped.append(code, WriteEscaped(c, code));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::wstring DescribeRequest(const UploadRequest& request, const std::wstring& program,
                             const std::wstring& fault) {
    return L"pep=" + std::to_wstring(request.pep) + L"\r\npid=" + std::to_wstring(request.pid) +
           L"\r\ntid=" + std::to_wstring(request.tid) + L"\r\nsrc=" + EscapeText(request.source) +
           L"\r\nver=" + EscapeText(request.version) + L"\r\nrep=" + std::to_wstring(request.rep) +
           L"\r\nrestart=" + (request.restart ? L"1" : L"0") + L"\r\nprogram=" +
           EscapeText(program) + L"\r\nfault=" + EscapeText(fault) + L"\r\n";
}
