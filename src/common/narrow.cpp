#include "common/narrow.h"

#include <limits>

#include "common/hresult_error.h"

std::string ToNarrow(const WString& text, UINT codePage) {
    // The source length counts the terminator, so the output is terminated.
    const size_t units = text.Length() + 1;
    if (units > static_cast<size_t>(std::numeric_limits<int>::max() / 4))
        ThrowHResult(E_OUTOFMEMORY);
    // No code page takes more than four bytes a unit, so one call has room.
    std::string out(units * 4, '\0');
    const int n = WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(units),
                                      out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    if (n == 0) ThrowLastError();
    out.resize(static_cast<size_t>(n) - 1);  // drop the terminator the call wrote
    return out;
}
