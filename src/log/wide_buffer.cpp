#include "log/wide_buffer.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "common/hresult_error.h"

namespace LogUtils {

WideBuffer::WideBuffer(WideBuffer&& other) noexcept
    : data_(inline_), length_(other.length_), capacity_(other.capacity_) {
    if (other.data_ == other.inline_) {
        std::memcpy(inline_, other.inline_, length_ * sizeof(wchar_t));
    } else {
        data_ = other.data_;
        other.data_ = other.inline_;
        other.capacity_ = kInlineUnits;
    }
    other.length_ = 0;
}

WideBuffer::~WideBuffer() {
    if (data_ != inline_) std::free(data_);
}

void WideBuffer::Append(const wchar_t* text, size_t length) {
    if (length == 0) return;
    if (capacity_ - length_ < length) Grow(length);
    std::memcpy(data_ + length_, text, length * sizeof(wchar_t));
    length_ += length;
}

void WideBuffer::Grow(size_t more) {
    constexpr size_t kMaxUnits = static_cast<size_t>(-1) / 2 / sizeof(wchar_t);
    if (more > kMaxUnits - length_) ThrowHResult(E_OUTOFMEMORY);
    size_t capacity = capacity_ * 2;
    if (capacity < length_ + more) capacity = length_ + more;
    void* block = std::malloc(capacity * sizeof(wchar_t));
    if (!block) ThrowHResult(E_OUTOFMEMORY);
    wchar_t* data = static_cast<wchar_t*>(block);
    std::memcpy(data, data_, length_ * sizeof(wchar_t));
    if (data_ != inline_) std::free(data_);
    data_ = data;
    capacity_ = capacity;
}

}  // namespace LogUtils
