#include "common/wstring.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <limits>

#include "common/hresult_error.h"

struct WString::Header {
    size_t length;
    size_t capacity;
    std::atomic<long> refs;  // kStatic marks the shared empty block
};

namespace {

constexpr long kStatic = -1;

// The shared empty string: constant-initialised, so it is ready before any
// static constructor runs, and never freed.
struct EmptyBlock {
    WString::Header header;
    wchar_t terminator;
};
EmptyBlock g_empty = {{0, 0, {kStatic}}, 0};

static_assert(offsetof(EmptyBlock, terminator) == sizeof(WString::Header),
              "the characters follow the header directly");

wchar_t* EmptyData() noexcept { return &g_empty.terminator; }

}  // namespace

void ThrowHResult(HRESULT code) { throw HResultError(code); }

void ThrowLastError() { ThrowHResult(HRESULT_FROM_WIN32(GetLastError())); }

WString::Header* WString::header() const noexcept { return reinterpret_cast<Header*>(data_) - 1; }

wchar_t* WString::Allocate(size_t capacity) {
    constexpr size_t kMax =
        (std::numeric_limits<size_t>::max() - sizeof(Header)) / sizeof(wchar_t) - 1;
    if (capacity > kMax) ThrowHResult(E_OUTOFMEMORY);
    void* block = std::malloc(sizeof(Header) + (capacity + 1) * sizeof(wchar_t));
    if (!block) ThrowHResult(E_OUTOFMEMORY);
    Header* h = new (block) Header{0, capacity, {1}};
    wchar_t* data = reinterpret_cast<wchar_t*>(h + 1);
    data[0] = 0;
    return data;
}

void WString::Release(wchar_t* data) noexcept {
    Header* h = reinterpret_cast<Header*>(data) - 1;
    if (h->refs.load(std::memory_order_relaxed) == kStatic) return;
    if (h->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        h->~Header();
        std::free(h);
    }
}

WString::WString() noexcept : data_(EmptyData()) {}

WString::WString(const wchar_t* text) : WString() {
    if (text) Append(text, std::wcslen(text));
}

WString::WString(const wchar_t* text, size_t length) : WString() {
    if (length && !text) ThrowHResult(E_INVALIDARG);
    Append(text, length);
}

WString::WString(const WString& other) noexcept : data_(other.data_) {
    Header* h = header();
    if (h->refs.load(std::memory_order_relaxed) != kStatic)
        h->refs.fetch_add(1, std::memory_order_relaxed);
}

WString::WString(WString&& other) noexcept : data_(other.data_) { other.data_ = EmptyData(); }

WString& WString::operator=(const WString& other) noexcept {
    if (this != &other) {
        WString copy(other);
        std::swap(data_, copy.data_);
    }
    return *this;
}

WString& WString::operator=(WString&& other) noexcept {
    std::swap(data_, other.data_);
    return *this;
}

WString& WString::operator=(const wchar_t* text) {
    WString copy(text);
    std::swap(data_, copy.data_);
    return *this;
}

WString::~WString() { Release(data_); }

size_t WString::Length() const noexcept { return header()->length; }

wchar_t WString::At(size_t index) const {
    if (index >= Length()) ThrowHResult(E_INVALIDARG);
    return data_[index];
}

void WString::SetLength(size_t length) noexcept {
    header()->length = length;
    data_[length] = 0;
}

// Gives this string a block of its own with room for `capacity` units,
// keeping its text; a block that is shared or too small is replaced.
void WString::MakeUnique(size_t capacity) {
    Header* h = header();
    const bool shared = h->refs.load(std::memory_order_acquire) != 1;
    if (!shared && h->capacity >= capacity) return;
    size_t grown = capacity;
    if (!shared && h->capacity > 0 && capacity < h->capacity * 2) grown = h->capacity * 2;
    wchar_t* fresh = Allocate(grown);
    std::wmemcpy(fresh, data_, h->length + 1);
    (reinterpret_cast<Header*>(fresh) - 1)->length = h->length;
    Release(data_);
    data_ = fresh;
}

WString WString::Mid(size_t start, size_t count) const {
    const size_t length = Length();
    if (start > length) ThrowHResult(E_INVALIDARG);
    if (count > length - start) count = length - start;
    if (start == 0 && count == length) return *this;
    return WString(data_ + start, count);
}

size_t WString::Find(wchar_t ch, size_t start) const {
    for (size_t i = start; i < Length(); ++i)
        if (data_[i] == ch) return i;
    return npos;
}

size_t WString::Find(const wchar_t* text, size_t start) const {
    const size_t length = Length();
    const size_t n = text ? std::wcslen(text) : 0;
    if (n == 0 || start > length || n > length - start) return npos;
    for (size_t i = start; i + n <= length; ++i)
        if (std::wmemcmp(data_ + i, text, n) == 0) return i;
    return npos;
}

size_t WString::ReverseFind(wchar_t ch) const {
    for (size_t i = Length(); i > 0; --i)
        if (data_[i - 1] == ch) return i - 1;
    return npos;
}

WString& WString::Append(const wchar_t* text, size_t length) {
    if (length == 0) return *this;
    if (!text) ThrowHResult(E_INVALIDARG);
    const size_t old = Length();
    if (length > std::numeric_limits<size_t>::max() / 4 - old) ThrowHResult(E_OUTOFMEMORY);
    // `text` may point into this string's own block, which MakeUnique frees.
    if (text >= data_ && text <= data_ + old) {
        WString copy(text, length);
        return Append(copy.c_str(), length);
    }
    MakeUnique(old + length);
    std::wmemcpy(data_ + old, text, length);
    SetLength(old + length);
    return *this;
}

WString& WString::Append(const wchar_t* text) {
    return text ? Append(text, std::wcslen(text)) : *this;
}

size_t WString::Replace(const wchar_t* from, const wchar_t* to) {
    const size_t n = from ? std::wcslen(from) : 0;
    if (n == 0) return 0;
    const size_t m = to ? std::wcslen(to) : 0;
    WString result;
    size_t count = 0;
    size_t pos = 0;
    for (size_t hit = Find(from); hit != npos; hit = Find(from, pos)) {
        result.Append(data_ + pos, hit - pos);
        result.Append(to, m);
        pos = hit + n;
        ++count;
    }
    if (count) {
        result.Append(data_ + pos, Length() - pos);
        *this = std::move(result);
    }
    return count;
}

size_t WString::Remove(wchar_t ch) {
    if (Find(ch) == npos) return 0;
    MakeUnique(Length());
    size_t kept = 0;
    const size_t length = Length();
    for (size_t i = 0; i < length; ++i)
        if (data_[i] != ch) data_[kept++] = data_[i];
    SetLength(kept);
    return length - kept;
}

WString& WString::Trim() {
    size_t first = 0;
    size_t last = Length();
    while (first < last && std::iswspace(data_[first])) ++first;
    while (last > first && std::iswspace(data_[last - 1])) --last;
    if (first != 0 || last != Length()) *this = Mid(first, last - first);
    return *this;
}

WString& WString::MakeUpper() {
    if (IsEmpty()) return *this;
    MakeUnique(Length());
    for (size_t i = 0; i < Length(); ++i) data_[i] = static_cast<wchar_t>(std::towupper(data_[i]));
    return *this;
}

WString& WString::MakeLower() {
    if (IsEmpty()) return *this;
    MakeUnique(Length());
    for (size_t i = 0; i < Length(); ++i) data_[i] = static_cast<wchar_t>(std::towlower(data_[i]));
    return *this;
}

wchar_t* WString::GetBuffer(size_t length) {
    MakeUnique(length > Length() ? length : Length());
    return data_;
}

void WString::ReleaseBuffer(size_t length) {
    if (length == npos) length = std::wcslen(data_);
    if (length > header()->capacity) ThrowHResult(E_INVALIDARG);
    SetLength(length);
}

int WString::Compare(const WString& other) const noexcept {
    const size_t a = Length();
    const size_t b = other.Length();
    const size_t n = a < b ? a : b;
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned short>(data_[i]);
        const auto y = static_cast<unsigned short>(other.data_[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a == b ? 0 : (a < b ? -1 : 1);
}

bool WString::operator==(const WString& other) const noexcept {
    return data_ == other.data_ || Compare(other) == 0;
}

WString WString::Format(const wchar_t* format, ...) {
    WString result;
    size_t room = 256;
    for (;;) {
        wchar_t* buffer = result.GetBuffer(room);
        va_list args;
        va_start(args, format);
        const int n = _vsnwprintf(buffer, room, format, args);
        va_end(args);
        if (n >= 0 && static_cast<size_t>(n) < room) {
            result.ReleaseBuffer(static_cast<size_t>(n));
            return result;
        }
        if (room > (1u << 24)) ThrowHResult(E_INVALIDARG);
        room *= 2;
    }
}

WString operator+(const WString& left, const WString& right) {
    WString result(left);
    result.Append(right);
    return result;
}

WString operator+(const WString& left, const wchar_t* right) {
    WString result(left);
    result.Append(right);
    return result;
}
