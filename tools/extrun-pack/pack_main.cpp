// extrun-pack: builds the base64 parameter package that extrun.exe takes in
// --param, or lists what one holds and the command line the launcher would
// run from it.
//
//   extrun-pack [--cmd-line=TEXT] [--text=NAME=TEXT]... [--file=NAME=PATH]...
//   extrun-pack --dump=BASE64 | --dump-file=PATH
//
// Texts are stored as UTF-16LE; --file stores a file's bytes as they are.
#include <windows.h>

#include <string>
#include <vector>

#include "common/escaped_text.h"
#include "package/command_line.h"
#include "package/package_builder.h"
#include "package/package_image.h"
#include "text_output.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage: extrun-pack [--cmd-line=TEXT] [--text=NAME=TEXT]... [--file=NAME=PATH]...\n"
    L"       extrun-pack --dump=BASE64 | --dump-file=PATH\n"
    L"Makes a package and prints it as base64, or lists the records of one and the command\n"
    L"line extrun.exe would run from it. A record name is 1 to 50 ASCII characters; the\n"
    L"command line is at most 4095 UTF-16 units.\n";

const TextOutput& Out() {
    static const TextOutput out(STD_OUTPUT_HANDLE);
    return out;
}

int Fail(const std::wstring& message) {
    TextOutput(STD_ERROR_HANDLE).Write(L"extrun-pack: " + message + L"\r\n");
    return 2;
}

int Usage() {
    TextOutput(STD_ERROR_HANDLE).Write(kUsage);
    return 2;
}

bool IsHelp(const std::wstring& arg) { return arg == L"-h" || arg == L"--help" || arg == L"/?"; }

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

// Record names are 8-bit text that fills at most the 50-byte field.
bool ToRecordName(const std::wstring& wide, std::string* name, std::wstring* problem) {
    if (wide.size() > package::kNameSize) {
        *problem = package::NameTooLongReason(EscapeControls(wide), wide.size());
        return false;
    }
    name->clear();
    for (wchar_t c : wide) {
        if (c < 0x20 || c > 0x7E) break;
        name->push_back(static_cast<char>(c));
    }
    if (wide.empty() || name->size() != wide.size()) {
        *problem = L"bad record name \"" + EscapeControls(wide) + L"\" (1-50 ASCII characters)";
        return false;
    }
    return true;
}

bool SplitNamed(const std::wstring& arg, std::string* name, std::wstring* value,
                std::wstring* problem) {
    const size_t eq = arg.find(L'=');
    *problem = L"bad record (NAME=VALUE): " + EscapeControls(arg);
    if (eq == std::wstring::npos) return false;
    *value = arg.substr(eq + 1);
    return ToRecordName(arg.substr(0, eq), name, problem);
}

std::wstring Printable(const uint8_t* bytes, size_t n) {
    std::wstring out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : L'?');
    return out;
}

// The data as UTF-16LE text: an even length and no zero unit before an
// optional final one.
bool AsUtf16(const uint8_t* data, uint32_t length, std::wstring* text) {
    if (length % 2 != 0) return false;
    for (uint32_t i = 0; i < length; i += 2) {
        const wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
        if (c == 0) return i + 2 == length;
        text->push_back(c);
    }
    return true;
}

// The data as UTF-8 text: no zero byte, and every sequence well-formed.
bool AsUtf8(const uint8_t* data, uint32_t length, std::wstring* text) {
    if (length == 0 || length > (1u << 30)) return false;
    for (uint32_t i = 0; i < length; ++i)
        if (data[i] == 0) return false;
    const char* bytes = reinterpret_cast<const char*>(data);
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes,
                                          static_cast<int>(length), nullptr, 0);
    if (units <= 0) return false;
    text->assign(static_cast<size_t>(units), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(length),
                               text->data(), units) == units;
}

// A record's data as the listing shows it: every reading of it that is
// text, whole, with control characters and surrogates without a partner
// written as <U+XXXX> so that each record stays on its line. --text and
// --cmd-line store UTF-16LE; --file stores a file's bytes, often UTF-8. Data
// that reads both ways (bytes without a zero, in pairs) is shown both ways.
std::wstring DataText(const uint8_t* data, uint32_t length) {
    std::wstring shown, text;
    if (AsUtf16(data, length, &text))
        shown = L" text=\"" +
                EscapeCodePoints(text,
                                 [](uint32_t point) {
                                     return point < 0x20 || (point >= 0xD800 && point < 0xE000);
                                 }) +
                L"\"";
    if (AsUtf8(data, length, &text)) shown += L" utf-8=\"" + EscapeControls(text) + L"\"";
    return shown.empty() ? L" (not text)" : shown;
}

// The command line a relaunch from this image runs, found and cut as the
// launcher finds and cuts it: `text` as it is given the copy, `units` as long
// as the record's own text is. False when no record is taken.
struct TakenCommandLine {
    const uint8_t* record = nullptr;
    std::wstring text;
    size_t units = 0;
};

bool TakeCommandLine(const uint8_t* image, size_t size, uint32_t count, TakenCommandLine* taken) {
    package::RecordData found;
    if (!package::FindRecordInImage(image, size, count,
                                    reinterpret_cast<const uint8_t*>(kCommandLineTag),
                                    kCommandLineRecord, &found))
        return false;
    taken->record = found.data;
    taken->text.assign(kRelaunchCommandLineUnits + 1, L'\0');
    taken->units = CopyCommandLine(found.data, found.length, taken->text.data());
    taken->text.resize(taken->text.find(L'\0'));
    return true;
}

// The last line of a listing.
std::wstring LauncherLine(const uint8_t* image, uint32_t total, uint32_t count) {
    TakenCommandLine taken;
    if (!TakeCommandLine(image, total, count, &taken))
        return L"launcher runs: an empty command line (no record named \"cmd_line\" or a "
               L"leading part of it)\r\n";
    size_t index = 0;
    size_t offset = package::kHeaderSize;
    package::RecordView r;
    while (package::NextRecord(image, total, &offset, &r) && r.data != taken.record) ++index;
    std::wstring line = L"launcher runs: \"" + EscapeControls(taken.text) + L"\" from record " +
                        std::to_wstring(index);
    if (taken.units > kRelaunchCommandLineUnits)
        line += L", cut to " + std::to_wstring(kRelaunchCommandLineUnits) + L" of its " +
                std::to_wstring(taken.units) + L" units";
    return line + L"\r\n";
}

int Dump(const std::string& text) {
    std::vector<uint8_t> image;
    if (!package::DecodePackage(text, &image)) return Fail(L"not base64 text");
    const uint32_t total = package::UsableImageSize(image.data(), image.size());
    if (total == 0) return Fail(L"not a package (wrong keys, damaged header or no records)");
    const uint32_t count = package::ReadLe32(image.data() + 8);
    Out().Write(L"package: " + std::to_wstring(total) + L" bytes, " + std::to_wstring(count) +
                L" record(s)\r\n");
    size_t offset = package::kHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        package::RecordView r;
        if (!package::NextRecord(image.data(), total, &offset, &r)) {
            Out().Write(L"record " + std::to_wstring(i) +
                        L": runs past the end of the package\r\n" +
                        LauncherLine(image.data(), total, count));
            return 1;
        }
        Out().Write(L"record " + std::to_wstring(i) + L": tag=" + Printable(r.tag, 4) +
                    L" name=\"" + Printable(r.name, r.nameLength) + L"\" length=" +
                    std::to_wstring(r.length) + DataText(r.data, r.length) + L"\r\n");
    }
    Out().Write(LauncherLine(image.data(), total, count));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && IsHelp(argv[1])) {
        Out().Write(kUsage);
        return 0;
    }
    std::vector<package::RecordSpec> records;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        std::wstring rest, value, problem;
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
            records.push_back({"dmms", kCommandLineRecord, package::Utf16Bytes(rest)});
        } else if (StartsWith(arg, L"--text=", &rest)) {
            if (!SplitNamed(rest, &name, &value, &problem)) return Fail(problem);
            records.push_back({"dmms", name, package::Utf16Bytes(value)});
        } else if (StartsWith(arg, L"--file=", &rest)) {
            std::string bytes;
            if (!SplitNamed(rest, &name, &value, &problem)) return Fail(problem);
            if (!ReadFileBytes(value, &bytes)) return Fail(L"cannot read " + value);
            records.push_back({"dmms", name, bytes});
        } else {
            return Usage();
        }
    }
    if (records.empty()) return Usage();
    const std::vector<uint8_t> image = package::BuildImage(records);
    // A command line the launcher would cut is refused: whatever it then ran
    // would not be what was asked for.
    std::wstring problem;
    if (!package::CommandLineFits(image, &problem)) return Fail(problem);
    const std::string text = package::EncodePackage(image);
    if (text.empty()) return Fail(package::kEncodingFailed);
    Out().Write(std::wstring(text.begin(), text.end()) + L"\r\n");
    return 0;
}
