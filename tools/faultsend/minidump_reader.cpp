#include "minidump_reader.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>

#include "text_escape.h"

namespace minidump {

namespace {

// The layout as dbghelp writes it (4-byte packing): a header, a directory of
// streams, each stream where its directory entry says.
constexpr char kSignature[4] = {'M', 'D', 'M', 'P'};
constexpr uint32_t kVersion = 0xA793;  // the low word of the header's version
constexpr size_t kHeaderSize = 32;
constexpr size_t kDirectoryEntrySize = 12;
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kExceptionStream = 6;
constexpr size_t kThreadSize = 48;
constexpr size_t kModuleSize = 108;
constexpr size_t kModuleNameRvaAt = 20;
constexpr size_t kModuleCvRecordAt = 76;
// A CodeView record as the linker writes it for a PDB 7.0 or build id:
// "RSDS", a GUID, an age, a file name ending in NUL.
constexpr char kRsds[4] = {'R', 'S', 'D', 'S'};
constexpr size_t kRsdsNameAt = 24;
constexpr size_t kLongestDebugName = 520;
constexpr size_t kExceptionStreamSize = 168;
// Longer than any path a module can have.
constexpr uint32_t kLongestName = 2 * 32767;

constexpr uint32_t kAccessViolation = 0xC0000005;

// What the names of a dump's modules may take as text together: this many
// bytes for each byte of the file, and a little more. A name is at most 4
// times its bytes when every character is escaped, so only names that share
// the file's bytes (one name for every module, or names that overlap) reach
// it: the rest are cut, and --show's output and memory stay a small multiple
// of the file's size.
constexpr size_t kNameBytesPerFileByte = 4;
constexpr size_t kNameBytesOverFile = 64 * 1024;
constexpr char kCut[] = "<cut: the names pass 4 bytes of text a byte of the file>";

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    // Whether `length` bytes from `offset` lie in the file.
    bool Has(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    // Callers check Has first.
    uint32_t U32(uint64_t at) const {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | data_[at + i];
        return v;
    }
    uint64_t U64(uint64_t at) const { return U32(at) | (uint64_t{U32(at + 4)} << 32); }
    uint16_t U16(uint64_t at) const {
        return static_cast<uint16_t>(data_[at] | data_[at + 1] << 8);
    }
    const uint8_t* At(uint64_t at) const { return data_ + at; }

private:
    const uint8_t* data_;
    size_t size_;
};

struct Location {
    uint32_t size = 0;
    uint32_t rva = 0;
    bool present = false;
};

// Writes `c` as --show prints it into `out` (room for 8 bytes): UTF-8, or
// <U+XXXX> for a character IsDisguising names. Returns the bytes written.
size_t WriteShown(uint32_t c, char* out) {
    if (IsDisguising(c)) return WriteEscaped(c, out);
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | c >> 6);
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | c >> 12);
        out[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | c >> 18);
    out[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// A MINIDUMP_STRING (a byte length, then UTF-16LE) as UTF-8; a character
// IsDisguising names as <U+XXXX>, so that a name cannot start a line of its
// own or turn the text around it, and a lone surrogate as U+FFFD. At most
// `budget` bytes are written, and taken from it; a name cut there ends in
// kCut. False when the string does not lie whole in the file.
bool ReadName(const Bytes& file, uint32_t rva, std::string& out, size_t& budget) {
    if (!file.Has(rva, 4)) return false;
    const uint32_t length = file.U32(rva);
    if (length > kLongestName || !file.Has(uint64_t{rva} + 4, length)) return false;
    const uint64_t start = uint64_t{rva} + 4, end = start + length / 2 * 2;
    for (uint64_t at = start; at < end; at += 2) {
        uint32_t c = file.U16(at);
        if (c >= 0xD800 && c < 0xDC00 && at + 2 < end) {
            const uint32_t low = file.U16(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
        char piece[8];
        const size_t shown = WriteShown(c, piece);
        if (shown > budget) {
            out += kCut;
            budget = 0;
            return true;
        }
        budget -= shown;
        out.append(piece, shown);
    }
    return true;
}

// A UTF-8 name as ReadName writes a name: escaped, a byte that starts no
// character (or a character written too long) as U+FFFD.
std::string EscapeUtf8(const uint8_t* bytes, size_t size) {
    std::string out;
    for (size_t i = 0; i < size;) {
        const uint8_t lead = bytes[i];
        const size_t length = lead < 0x80                   ? 1
                              : lead >= 0xF0 && lead < 0xF5 ? 4
                              : lead >= 0xE0                ? 3
                              : lead >= 0xC2 && lead < 0xE0 ? 2
                                                            : 0;
        uint32_t c = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
        bool whole = length != 0 && i + length <= size;
        for (size_t k = 1; whole && k < length; ++k) {
            whole = (bytes[i + k] & 0xC0) == 0x80;
            c = c << 6 | (bytes[i + k] & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!whole || c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            c = 0xFFFD;
            i += 1;
        } else {
            i += length;
        }
        char piece[8];
        out.append(piece, WriteShown(c, piece));
    }
    return out;
}

// The module's CodeView record at `location` (size, then offset): its debug
// identifier as symbol stores key it (the GUID's 32 hex digits, then the age
// in hex) and the debug file's name. False when the record does not lie in
// the file; true with nothing set when there is none or it is of another kind.
bool ReadDebugRecord(const Bytes& file, uint64_t location, Module& module) {
    const uint32_t size = file.U32(location), rva = file.U32(location + 4);
    if (size == 0) return true;
    if (!file.Has(rva, size)) return false;
    if (size < kRsdsNameAt || file.U32(rva) != (kRsds[0] | kRsds[1] << 8 | kRsds[2] << 16 |
                                                static_cast<uint32_t>(kRsds[3]) << 24))
        return true;
    char id[48];
    snprintf(id, sizeof(id), "%08X%04X%04X", file.U32(rva + 4), file.U16(rva + 8),
             file.U16(rva + 10));
    module.debugId = id;
    for (int i = 0; i < 8; ++i) {
        snprintf(id, sizeof(id), "%02X", file.At(rva + 12)[i]);
        module.debugId += id;
    }
    snprintf(id, sizeof(id), "%X", file.U32(rva + 20));
    module.debugId += id;
    size_t length = 0;
    while (kRsdsNameAt + length < size && length < kLongestDebugName &&
           file.At(rva + kRsdsNameAt)[length] != 0)
        ++length;
    module.debugFile = EscapeUtf8(file.At(rva + kRsdsNameAt), length);
    return true;
}

// A list stream: a count, then `count` entries of `entrySize` bytes, all
// inside the stream and the stream inside the file. The offset of the first
// entry, or 0 when the list does not fit.
uint64_t ListEntries(const Bytes& file, const Location& stream, size_t entrySize, uint32_t& count) {
    if (stream.size < 4 || !file.Has(stream.rva, stream.size)) return 0;
    count = file.U32(stream.rva);
    if (count > (stream.size - 4) / entrySize) return 0;
    return uint64_t{stream.rva} + 4;
}

std::string Hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof(text), "0x%0*" PRIX64, digits, value);
    return text;
}

const char* BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace

DumpFacts ReadDump(const uint8_t* bytes, size_t size) {
    DumpFacts facts;
    const Bytes file(bytes, size);
    if (size == 0) {
        facts.problem = "not a minidump: the file is empty";
        return facts;
    }
    if (std::memcmp(bytes, kSignature, size < sizeof(kSignature) ? size : sizeof(kSignature)) !=
        0) {
        facts.problem = "not a minidump: no MDMP signature";
        return facts;
    }
    if (!file.Has(0, kHeaderSize)) {
        facts.problem = "truncated: shorter than a minidump's header";
        return facts;
    }
    if ((file.U32(4) & 0xFFFF) != kVersion) {
        facts.problem = "not a minidump of a known version";
        return facts;
    }
    const uint32_t streams = file.U32(8), directory = file.U32(12);
    if (!file.Has(directory, uint64_t{streams} * kDirectoryEntrySize)) {
        facts.problem = "truncated: the stream directory lies past the end of the file";
        return facts;
    }
    Location threadList, moduleList, exception;
    for (uint32_t i = 0; i < streams; ++i) {
        const uint64_t entry = directory + uint64_t{i} * kDirectoryEntrySize;
        const uint32_t type = file.U32(entry);
        Location* wanted = type == kThreadListStream   ? &threadList
                           : type == kModuleListStream ? &moduleList
                           : type == kExceptionStream  ? &exception
                                                       : nullptr;
        if (wanted && !wanted->present) *wanted = {file.U32(entry + 4), file.U32(entry + 8), true};
    }

    if (exception.present) {
        if (exception.size < kExceptionStreamSize ||
            !file.Has(exception.rva, kExceptionStreamSize)) {
            facts.problem = "truncated: the exception stream lies past the end of the file";
            return facts;
        }
        facts.hasException = true;
        facts.threadId = file.U32(exception.rva);
        facts.code = file.U32(exception.rva + 8);
        facts.address = file.U64(exception.rva + 24);
        facts.parameterCount = file.U32(exception.rva + 32);
        facts.parameters[0] = file.U64(exception.rva + 40);
        facts.parameters[1] = file.U64(exception.rva + 48);
        facts.contextSize = file.U32(exception.rva + 160);
        facts.contextRva = file.U32(exception.rva + 164);
    }
    if (threadList.present) {
        uint32_t count = 0;
        const uint64_t first = ListEntries(file, threadList, kThreadSize, count);
        if (!first) {
            facts.problem = "truncated: the thread list lies past the end of the file";
            return facts;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t at = first + i * kThreadSize;
            facts.threads.push_back(file.U32(at));
            if (facts.hasException && file.U32(at) == facts.threadId && !facts.stackSize) {
                facts.stackStart = file.U64(at + 24);
                facts.stackSize = file.U32(at + 32);
                facts.stackRva = file.U32(at + 36);
            }
        }
    }
    if (moduleList.present) {
        uint32_t count = 0;
        const uint64_t first = ListEntries(file, moduleList, kModuleSize, count);
        if (!first) {
            facts.problem = "truncated: the module list lies past the end of the file";
            return facts;
        }
        size_t budget = size < (SIZE_MAX - kNameBytesOverFile) / kNameBytesPerFileByte
                            ? size * kNameBytesPerFileByte + kNameBytesOverFile
                            : SIZE_MAX;
        // A name read once, by where it lies and by its text.
        std::map<uint32_t, size_t> byPlace;
        std::map<std::string, size_t> byText;
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t at = first + uint64_t{i} * kModuleSize;
            Module module{file.U64(at), file.U32(at + 8), 0, file.U32(at + 16), {}, {}};
            if (!ReadDebugRecord(file, at + kModuleCvRecordAt, module)) {
                facts.problem = "truncated: a module's debug record lies past the end of the file";
                return facts;
            }
            const uint32_t rva = file.U32(at + kModuleNameRvaAt);
            const auto place = byPlace.find(rva);
            if (place != byPlace.end()) {
                module.name = place->second;
            } else {
                std::string name;
                if (!ReadName(file, rva, name, budget)) {
                    facts.problem = "truncated: a module's name lies past the end of the file";
                    return facts;
                }
                const auto text = byText.emplace(std::move(name), facts.names.size());
                if (text.second) facts.names.push_back(text.first->first);
                module.name = byPlace[rva] = text.first->second;
            }
            facts.modules.push_back(module);
        }
    }
    return facts;
}

const char* ExceptionName(uint32_t code) {
    static const struct {
        uint32_t code;
        const char* name;
    } kNames[] = {
        {0x00000000, "none: a hook's own record (abort, terminate, a run-time error)"},
        {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"},
        {0x80000003, "EXCEPTION_BREAKPOINT"},
        {0x80000004, "EXCEPTION_SINGLE_STEP"},
        {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},
        {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
        {0xC0000008, "EXCEPTION_INVALID_HANDLE"},
        {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
        {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
        {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},
        {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
        {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
        {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
        {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
        {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION"},
        {0xC0000091, "EXCEPTION_FLT_OVERFLOW"},
        {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},
        {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
        {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
        {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
        {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
        {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
        {0xC0000374, "STATUS_HEAP_CORRUPTION"},
        {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN"},
        {0x20474343, "a C++ exception thrown by GCC's run-time"},
        {0xE06D7363, "a C++ exception thrown by MSVC's run-time"},
    };
    for (const auto& known : kNames)
        if (known.code == code) return known.name;
    return "unknown";
}

std::string Describe(const DumpFacts& facts) {
    std::string text;
    if (!facts.hasException) {
        text += "exception: none recorded in this dump\r\n";
    } else {
        text += "exception: " + Hex(facts.code, 8) + " " + ExceptionName(facts.code);
        if (facts.code == kAccessViolation && facts.parameterCount >= 2) {
            const uint64_t kind = facts.parameters[0];
            text += kind == 0   ? ", reading "
                    : kind == 1 ? ", writing "
                    : kind == 8 ? ", running "
                                : ", at ";
            text += Hex(facts.parameters[1], 16);
        }
        text += "\r\nthread: " + std::to_string(facts.threadId);
        bool listed = false;
        for (uint32_t id : facts.threads) listed = listed || id == facts.threadId;
        text += listed ? ", in the thread list\r\n" : ", not in the thread list\r\n";
        text += "address: " + Hex(facts.address, 16);
        const Module* at = nullptr;
        for (const Module& module : facts.modules)
            if (facts.address >= module.base && facts.address - module.base < module.size)
                at = &module;
        text += at ? std::string(" ") + BaseName(facts.names[at->name]) + "+" +
                         Hex(facts.address - at->base, 0)
                   : std::string(" (in no listed module)");
        text += "\r\n";
    }
    text += "threads:";
    for (uint32_t id : facts.threads) text += " " + std::to_string(id);
    text += "\r\nmodules: " + std::to_string(facts.modules.size()) + "\r\n";
    // Each name once; a module named as one before it says which.
    std::vector<const Module*> namedBy(facts.names.size(), nullptr);
    for (const Module& module : facts.modules) {
        text += "  " + Hex(module.base, 16) + " " + Hex(module.size, 8) + " ";
        const Module*& first = namedBy[module.name];
        text += first ? "(named as the module at " + Hex(first->base, 16) + ")"
                      : facts.names[module.name];
        text += "\r\n";
        if (!module.debugId.empty())
            text += "    debug id: " + module.debugId + " " + module.debugFile + "\r\n";
        if (!first) first = &module;
    }
    return text;
}

}  // namespace minidump
