#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "image_exports.h"

// The file's bytes through one handle, a page at a time: the export lookup
// reads a few bytes in many places.
class FileBytes : public image::ByteSource {
public:
    explicit FileBytes(HANDLE file) : file_(file) {
        LARGE_INTEGER size;
        size_ = GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    }
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* out, size_t size) const override {
        if (offset > size_ || size > size_ - offset) return false;
        auto* to = static_cast<uint8_t*>(out);
        while (size > 0) {
            const uint64_t start = offset - offset % kPage;
            if (start != pageStart_ && !Load(start)) return false;
            const size_t at = static_cast<size_t>(offset - start);
            const size_t chunk = std::min(size, page_.size() - at);
            std::copy_n(page_.data() + at, chunk, to);
            to += chunk;
            offset += chunk;
            size -= chunk;
        }
        return true;
    }

private:
    static constexpr size_t kPage = 64 * 1024;

    bool Load(uint64_t start) const {
        pageStart_ = static_cast<uint64_t>(-1);
        page_.assign(static_cast<size_t>(std::min<uint64_t>(kPage, size_ - start)), 0);
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(start);
        at.OffsetHigh = static_cast<DWORD>(start >> 32);
        DWORD got = 0;
        if (!ReadFile(file_, page_.data(), static_cast<DWORD>(page_.size()), &got, &at) ||
            got != page_.size())
            return false;
        pageStart_ = start;
        return true;
    }

    HANDLE file_;
    uint64_t size_;
    mutable uint64_t pageStart_ = static_cast<uint64_t>(-1);
    mutable std::vector<uint8_t> page_;
};
