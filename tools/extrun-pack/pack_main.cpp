// extrun-pack: builds the base64 parameter package that extrun.exe takes in
// --param, or lists what one holds.
//
//   extrun-pack [--cmd-line=TEXT] [--text=NAME=TEXT]... [--file=NAME=PATH]...
//   extrun-pack --dump=BASE64 | --dump-file=PATH
//
// Texts are stored as UTF-16LE; --file stores a file's bytes as they are.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "package/package_builder.h"
#include "package/package_image.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage: extrun-pack [--cmd-line=TEXT] [--text=NAME=TEXT]... [--file=NAME=PATH]...\n"
    L"       extrun-pack --dump=BASE64 | --dump-file=PATH\n";

int Fail(const std::wstring& message) {
    fwprintf(stderr, L"extrun-pack: %ls\n", message.c_str());
    return 2;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix, std::wstring* rest) {
    const std::wstring p(prefix);
    if (text.compare(0, p.size(), p) != 0) return false;
    *rest = text.substr(p.size());
    return true;
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(h, &size) && size.QuadPart < (64 << 20);
    if (ok) {
        bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        ok = bytes->empty() ||
             (ReadFile(h, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) &&
              got == bytes->size());
    }
    CloseHandle(h);
    return ok;
}

// Record names are 8-bit text of at most 50 bytes.
bool ToRecordName(const std::wstring& wide, std::string* name) {
    if (wide.empty() || wide.size() > package::kNameSize) return false;
    name->clear();
    for (wchar_t c : wide) {
        if (c < 0x20 || c > 0x7E) return false;
        name->push_back(static_cast<char>(c));
    }
    return true;
}

bool SplitNamed(const std::wstring& arg, std::string* name, std::wstring* value) {
    const size_t eq = arg.find(L'=');
    if (eq == std::wstring::npos) return false;
    *value = arg.substr(eq + 1);
    return ToRecordName(arg.substr(0, eq), name);
}

std::wstring Printable(const uint8_t* bytes, size_t n) {
    std::wstring out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : L'?');
    return out;
}

// The data as text when it looks like UTF-16LE: even length, no zero unit
// before an optional final terminator.
bool AsUtf16(const uint8_t* data, uint32_t length, std::wstring* text) {
    if (length % 2 != 0) return false;
    text->clear();
    for (uint32_t i = 0; i < length; i += 2) {
        const wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
        if (c == 0) return i + 2 == length;
        if (c < 0x20 && c != L'\t') return false;
        text->push_back(c);
    }
    return true;
}

int Dump(const std::string& text) {
    std::vector<uint8_t> image;
    if (!package::DecodePackage(text, &image)) return Fail(L"not base64 text");
    const uint32_t total = package::UsableImageSize(image.data(), image.size());
    if (total == 0) return Fail(L"not a package (wrong keys, damaged header or no records)");
    const uint32_t count = package::ReadLe32(image.data() + 8);
    wprintf(L"package: %u bytes, %u record(s)\n", total, count);
    size_t offset = package::kHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        package::RecordView r;
        if (!package::NextRecord(image.data(), total, &offset, &r)) {
            wprintf(L"record %u: runs past the end of the package\n", i);
            return 1;
        }
        std::wstring data;
        wprintf(L"record %u: tag=%ls name=\"%ls\" length=%u", i, Printable(r.tag, 4).c_str(),
                Printable(r.name, r.nameLength).c_str(), r.length);
        if (AsUtf16(r.data, r.length, &data))
            wprintf(L" text=\"%ls\"\n", data.c_str());
        else
            wprintf(L"\n");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<package::RecordSpec> records;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        std::wstring rest, value;
        std::string name;
        if (StartsWith(arg, L"--dump=", &rest)) {
            std::string narrow;
            for (wchar_t c : rest) {
                if (c > 0x7F) return Fail(L"not base64 text");
                narrow.push_back(static_cast<char>(c));
            }
            return Dump(narrow);
        } else if (StartsWith(arg, L"--dump-file=", &rest)) {
            std::string bytes;
            if (!ReadFileBytes(rest, &bytes)) return Fail(L"cannot read " + rest);
            return Dump(bytes);
        } else if (StartsWith(arg, L"--cmd-line=", &rest)) {
            records.push_back({"dmms", "cmd_line", package::Utf16Bytes(rest)});
        } else if (StartsWith(arg, L"--text=", &rest)) {
            if (!SplitNamed(rest, &name, &value))
                return Fail(L"bad record (NAME=TEXT, name 1-50 ASCII): " + rest);
            records.push_back({"dmms", name, package::Utf16Bytes(value)});
        } else if (StartsWith(arg, L"--file=", &rest)) {
            std::string bytes;
            if (!SplitNamed(rest, &name, &value))
                return Fail(L"bad record (NAME=PATH, name 1-50 ASCII): " + rest);
            if (!ReadFileBytes(value, &bytes)) return Fail(L"cannot read " + value);
            records.push_back({"dmms", name, bytes});
        } else {
            fwprintf(stderr, L"%ls", kUsage);
            return 2;
        }
    }
    if (records.empty()) {
        fwprintf(stderr, L"%ls", kUsage);
        return 2;
    }
    const std::string text = package::EncodePackage(package::BuildImage(records));
    if (text.empty()) return Fail(L"could not encode the package");
    printf("%s\n", text.c_str());
    return 0;
}
