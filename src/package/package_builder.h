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

}  // namespace package
