#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Builds package images, for producers (the packing tool) and tests. The
// launcher itself only reads packages.
namespace package {

struct RecordSpec {
    std::string tag = "dmms";  // first 4 bytes used
    std::string name;          // at most 50 bytes; a 50-byte name has no terminator
    std::string data;
};

// Header and records, not scrambled.
std::vector<uint8_t> BuildImage(const std::vector<RecordSpec>& records);
// Scrambled and base64-encoded, as it goes into --param.
std::string EncodePackage(std::vector<uint8_t> image);
// Base64-decoded and unscrambled; false when the text is not base64.
bool DecodePackage(const std::string& text, std::vector<uint8_t>* image);

// UTF-16LE bytes of a wide text, no terminator.
std::string Utf16Bytes(const std::wstring& text);

// Why a package is refused, in the words extrun-pack and extrun::MakePackage both give: a record
// name (as shown) of `length` characters, longer than its field; a command line longer than the
// launcher takes from `image` (built, not scrambled), which it would cut; and an encoding that
// failed.
std::wstring NameTooLongReason(const std::wstring& shownName, size_t length);
bool CommandLineFits(const std::vector<uint8_t>& image, std::wstring* reason);
inline constexpr wchar_t kEncodingFailed[] = L"could not encode the package";

}  // namespace package
