#pragma once

// The file a product ships beside FaultSend.exe to have its dumps sent:
// "FaultSend.upload", UTF-8, one "key=value" a line, lines ending in LF or
// CRLF, empty lines and lines starting with '#' passed over:
//
//   url=https://crash.example.com/api/minidump?key=0123
//   field.token=0123
//
// `url` once: https://, or http:// to a loopback address only (127.x.x.x or
// [::1], written as numbers: a name could resolve elsewhere); a host of
// letters, digits, '.' and '-', an optional port, a path of printable
// characters without blanks or '#'. `field.<name>` up to 32 times, each name
// once, of letters, digits, '_', '.' and '-', and none of the fields the
// uploader sends itself. Values hold no control characters. Anything else is
// refused whole, so that a mistyped key never sends a dump elsewhere than
// meant. No Windows headers here, so it can be tested as text alone.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

inline constexpr wchar_t kUploadFileName[] = L"FaultSend.upload";
inline constexpr size_t kLongestUploadFile = 8 * 1024;

struct UploadTarget {
    bool secure = true;
    std::string host;  // an IPv6 address without its brackets
    uint16_t port = 0;
    std::string path;  // from its first '/', the query with it
    std::vector<std::pair<std::string, std::string>> fields;
};

// The fields every upload carries besides the product's own: the dump's
// part, the product, version and source, and the keys of the dump's text.
bool IsSentByTheUploader(const std::string& field);

// Reads `text` into `target`; empty on success, else "line <n>: <why>"
// (or why the file as a whole is refused).
std::string ParseUploadFile(const std::string& text, UploadTarget& target);
