#pragma once

#include <cstddef>
#include <cwchar>

// Reference-counted, copy-on-write UTF-16 string. The characters follow a
// header holding length, capacity and count in one heap block; every empty
// string shares one static block, so an empty WString costs no allocation.
// Copies share the block; the first change to a shared block copies it.
// The count is atomic because copies may travel to other threads.
//
// Out of memory throws HResultError(E_OUTOFMEMORY); an index or length
// outside the string throws HResultError(E_INVALIDARG).
class WString {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    WString() noexcept;
    WString(const wchar_t* text);  // null reads as empty
    WString(const wchar_t* text, size_t length);
    WString(const WString& other) noexcept;
    WString(WString&& other) noexcept;
    WString& operator=(const WString& other) noexcept;
    WString& operator=(WString&& other) noexcept;
    WString& operator=(const wchar_t* text);
    ~WString();

    size_t Length() const noexcept;
    bool IsEmpty() const noexcept { return Length() == 0; }
    // Always zero-terminated; valid until the string is changed or destroyed.
    const wchar_t* c_str() const noexcept { return data_; }
    wchar_t At(size_t index) const;
    wchar_t operator[](size_t index) const { return At(index); }

    WString Mid(size_t start, size_t count = npos) const;
    size_t Find(wchar_t ch, size_t start = 0) const;
    size_t Find(const wchar_t* text, size_t start = 0) const;
    size_t ReverseFind(wchar_t ch) const;

    WString& Append(const wchar_t* text, size_t length);
    WString& Append(const wchar_t* text);
    WString& Append(const WString& text) { return Append(text.c_str(), text.Length()); }
    WString& Append(wchar_t ch) { return Append(&ch, 1); }
    WString& operator+=(const WString& text) { return Append(text); }
    WString& operator+=(const wchar_t* text) { return Append(text); }

    // Replaces every occurrence of `from` (case-sensitive, left to right, no
    // overlap); returns the number replaced. An empty `from` replaces nothing.
    size_t Replace(const wchar_t* from, const wchar_t* to);
    size_t Remove(wchar_t ch);
    // Leading, then trailing white space as iswspace sees it.
    WString& Trim();
    WString& MakeUpper();  // towupper, unit by unit
    WString& MakeLower();  // towlower, unit by unit

    // Writable room for at least `length` units plus a terminator; end with
    // ReleaseBuffer, which sets the length (npos: up to the first zero).
    wchar_t* GetBuffer(size_t length);
    void ReleaseBuffer(size_t length = npos);

    // Ordinal comparison, unit by unit as unsigned 16-bit numbers: below,
    // equal to or above zero as this string sorts before, with or after
    // `other`.
    int Compare(const WString& other) const noexcept;
    bool operator==(const WString& other) const noexcept;
    bool operator!=(const WString& other) const noexcept { return !(*this == other); }
    bool operator<(const WString& other) const noexcept { return Compare(other) < 0; }

    static WString Format(const wchar_t* format, ...);

    struct Header;  // defined in wstring.cpp

private:
    Header* header() const noexcept;
    void MakeUnique(size_t capacity);
    void SetLength(size_t length) noexcept;
    static wchar_t* Allocate(size_t capacity);
    static void Release(wchar_t* data) noexcept;

    wchar_t* data_;
};

WString operator+(const WString& left, const WString& right);
WString operator+(const WString& left, const wchar_t* right);
