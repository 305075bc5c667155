#include "common/narrow.h"

#include <limits>

#include "common/hresult_error.h"

std::string ToNarrow(const WString& text, UINT codePage) {
    // The source length counts the terminator, so the output is terminated.
    const size_t units = text.Length() + 1;
    if (units > static_cast<size_t>(std::numeric_limits<int>::max() / 4))
        ThrowHResult(E_OUTOFMEMORY);
    const int sourceLength = static_cast<int>(units);
    std::string out(units * 4, '\0');
    int n = WideCharToMultiByte(codePage, 0, text.c_str(), sourceLength, out.data(),
                                static_cast<int>(out.size()), nullptr, nullptr);
    if (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        const int needed = WideCharToMultiByte(codePage, 0, text.c_str(), sourceLength, nullptr, 0,
                                               nullptr, nullptr);
        if (needed > 0) {
            out.assign(static_cast<size_t>(needed), '\0');
            n = WideCharToMultiByte(codePage, 0, text.c_str(), sourceLength, out.data(), needed,
                                    nullptr, nullptr);
        }
    }
    if (n == 0) ThrowLastError();
    out.resize(static_cast<size_t>(n) - 1);  // drop the terminator the call wrote
    return out;
}
