#pragma once

#include <cstddef>

namespace LogUtils {

// A growable run of UTF-16 units for building one log line. A line of
// ordinary length stays in the object itself, so a record costs no heap
// block; a longer one moves to the heap and doubles as it grows. Out of
// memory throws HResultError(E_OUTOFMEMORY), like the string type.
class WideBuffer {
public:
    WideBuffer() noexcept : data_(inline_) {}
    WideBuffer(WideBuffer&& other) noexcept;
    WideBuffer& operator=(WideBuffer&& other) = delete;
    WideBuffer(const WideBuffer&) = delete;
    WideBuffer& operator=(const WideBuffer&) = delete;
    ~WideBuffer();

    void Append(const wchar_t* text, size_t length);
    void Append(wchar_t ch) {
        if (length_ == capacity_) Grow(1);
        data_[length_++] = ch;
    }

    // Not zero-terminated.
    const wchar_t* Data() const noexcept { return data_; }
    size_t Length() const noexcept { return length_; }

private:
    // Enough for a tag, a location and a full path.
    static constexpr size_t kInlineUnits = 320;

    void Grow(size_t more);

    wchar_t* data_;
    size_t length_ = 0;
    size_t capacity_ = kInlineUnits;
    wchar_t inline_[kInlineUnits];
};

}  // namespace LogUtils
