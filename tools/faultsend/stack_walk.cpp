#include "stack_walk.h"

#include <cinttypes>
#include <cstdio>

namespace minidump {

namespace {

constexpr int kMostFrames = 64;
// CONTEXT (x64): the 16 integer registers from Rax in unwind-code order
// (Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi, R8-R15), then Rip.
constexpr size_t kContextRegistersAt = 0x78;
constexpr size_t kContextRipAt = 0xF8;
constexpr size_t kContextSize = 0x100;
constexpr int kRsp = 4;
// An unwind info's chained entry, and the codes.
constexpr uint8_t kChainInfo = 0x4;
enum UnwindOp : uint8_t {
    kPushNonvol = 0,
    kAllocLarge = 1,
    kAllocSmall = 2,
    kSetFpreg = 3,
    kSaveNonvol = 4,
    kSaveNonvolFar = 5,
    kSaveXmm128 = 8,
    kSaveXmm128Far = 9,
    kPushMachframe = 10,
};
// Chains longer than this are a loop in a made file.
constexpr int kLongestChain = 32;

class View {
public:
    View(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Has(uint64_t at, uint64_t length) const { return at <= size_ && length <= size_ - at; }
    uint64_t Read(uint64_t at, int bytes) const {
        uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | data_[at + i];
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

struct Registers {
    uint64_t r[16] = {};
    uint64_t rip = 0;
};

// One module's file: its sections, to find an RVA in the file, and its
// exception directory (the RUNTIME_FUNCTIONs, each begin, end, unwind info).
class Image {
public:
    // Valid only when the file is the module the dump lists: its link time
    // and image size as the dump has them.
    Image(const uint8_t* data, size_t size, const Module& module) : file_(data, size) {
        if (!file_.Has(0, 0x40) || file_.Read(0, 2) != 0x5A4D) return;
        const uint64_t pe = file_.Read(0x3C, 4);
        if (!file_.Has(pe, 24) || file_.Read(pe, 4) != 0x4550) return;
        sections_ = file_.Read(pe + 6, 2);
        const uint64_t optional = pe + 24, optionalSize = file_.Read(pe + 20, 2);
        sectionTable_ = optional + optionalSize;
        // PE32+ only: the exception directory is the fourth data directory.
        if (optionalSize < 112 + 4 * 8 || !file_.Has(optional, optionalSize) ||
            file_.Read(optional, 2) != 0x20B || !file_.Has(sectionTable_, sections_ * 40) ||
            file_.Read(pe + 8, 4) != module.timeStamp ||
            file_.Read(optional + 56, 4) != module.size)
            return;
        const uint64_t directory = optional + 112 + 3 * 8;
        functions_ = file_.Read(directory, 4);
        functionsSize_ = file_.Read(directory + 4, 4);
        valid_ = true;
    }
    bool Valid() const { return valid_; }

    // Where `length` bytes at `rva` lie in the file; false when not all in
    // one section's raw data.
    bool Locate(uint64_t rva, uint64_t length, uint64_t& at) const {
        for (uint64_t i = 0; i < sections_; ++i) {
            const uint64_t s = sectionTable_ + i * 40;
            const uint64_t start = file_.Read(s + 12, 4), raw = file_.Read(s + 16, 4),
                           rawAt = file_.Read(s + 20, 4);
            if (rva >= start && rva - start <= raw && length <= raw - (rva - start)) {
                at = rawAt + (rva - start);
                return file_.Has(at, length);
            }
        }
        return false;
    }

    // The unwind info's RVA of the function holding `rva`, and its begin; 0
    // for a leaf function (none listed).
    uint64_t FindFunction(uint64_t rva, uint64_t& begin) const {
        uint64_t table = 0;
        const uint64_t count = functionsSize_ / 12;
        if (count == 0 || !Locate(functions_, count * 12, table)) return 0;
        uint64_t low = 0, high = count;
        while (low < high) {
            const uint64_t middle = low + (high - low) / 2, at = table + middle * 12;
            const uint64_t start = file_.Read(at, 4), end = file_.Read(at + 4, 4);
            if (rva < start) {
                high = middle;
            } else if (rva >= end) {
                low = middle + 1;
            } else {
                begin = start;
                return file_.Read(at + 8, 4);
            }
        }
        return 0;
    }

    const View& File() const { return file_; }

private:
    View file_;
    uint64_t sections_ = 0, sectionTable_ = 0, functions_ = 0, functionsSize_ = 0;
    bool valid_ = false;
};

class Stack {
public:
    Stack(const View& dump, const DumpFacts& facts) : dump_(dump), facts_(facts) {}
    bool Read(uint64_t address, uint64_t& value) const {
        if (address < facts_.stackStart || address - facts_.stackStart > facts_.stackSize - 8u ||
            facts_.stackSize < 8 || !dump_.Has(facts_.stackRva, facts_.stackSize))
            return false;
        value = dump_.Read(facts_.stackRva + (address - facts_.stackStart), 8);
        return true;
    }

private:
    const View& dump_;
    const DumpFacts& facts_;
};

// Undoes the prolog of the function whose unwind info lies at `info` (an
// RVA), `offset` bytes into it (every code counts in a chained info), then
// returns. Empty on success, else why not.
std::string Unwind(const Image& image, const Stack& stack, uint64_t info, uint64_t offset,
                   Registers& regs, bool& machineFrame) {
    for (int chain = 0; chain < kLongestChain; ++chain) {
        uint64_t at = 0;
        if (!image.Locate(info, 4, at)) return "unwind data outside the module's file";
        const View& file = image.File();
        const uint8_t flags = static_cast<uint8_t>(file.Read(at, 1) >> 3);
        const uint64_t codes = file.Read(at + 2, 1);
        const uint8_t frameRegister = file.Read(at + 3, 1) & 0x0F;
        const uint64_t frameOffset = (file.Read(at + 3, 1) >> 4) * 16;
        const uint64_t slots = (codes + 1) / 2 * 2;
        if (!image.Locate(info, 4 + slots * 2 + ((flags & kChainInfo) ? 12 : 0), at))
            return "unwind data outside the module's file";
        for (uint64_t i = 0; i < codes; ++i) {
            const uint64_t code = at + 4 + i * 2;
            const uint64_t codeOffset = file.Read(code, 1);
            const uint8_t op = file.Read(code + 1, 1) & 0x0F, opInfo = file.Read(code + 1, 1) >> 4;
            const auto slot = [&](uint64_t n) {
                return i + n < codes ? file.Read(code + n * 2, 2) : 0;
            };
            const bool done = chain > 0 || codeOffset <= offset;
            uint64_t& rsp = regs.r[kRsp];
            uint64_t value = 0;
            switch (op) {
                case kPushNonvol:
                    if (!done) break;
                    if (!stack.Read(rsp, value)) return "a pushed register outside the stack";
                    regs.r[opInfo] = value;
                    rsp += 8;
                    break;
                case kAllocLarge:
                    if (opInfo == 0) {
                        if (done) rsp += slot(1) * 8;
                        i += 1;
                    } else {
                        if (done) rsp += slot(1) | slot(2) << 16;
                        i += 2;
                    }
                    break;
                case kAllocSmall:
                    if (done) rsp += opInfo * 8 + 8;
                    break;
                case kSetFpreg:
                    if (done) rsp = regs.r[frameRegister] - frameOffset;
                    break;
                case kSaveNonvol:
                case kSaveNonvolFar: {
                    const uint64_t where =
                        op == kSaveNonvol ? slot(1) * 8 : (slot(1) | slot(2) << 16);
                    if (done) {
                        if (!stack.Read(rsp + where, value))
                            return "a saved register outside the stack";
                        regs.r[opInfo] = value;
                    }
                    i += op == kSaveNonvol ? 1 : 2;
                    break;
                }
                case kSaveXmm128:
                    i += 1;
                    break;
                case kSaveXmm128Far:
                    i += 2;
                    break;
                case kPushMachframe:
                    if (!done) break;
                    if (!stack.Read(rsp + (opInfo ? 8 : 0), regs.rip) ||
                        !stack.Read(rsp + (opInfo ? 32 : 24), value))
                        return "a machine frame outside the stack";
                    rsp = value;
                    machineFrame = true;
                    break;
                default:
                    return "an unwind code this walk does not know";
            }
        }
        if (!(flags & kChainInfo)) return {};
        info = file.Read(at + 4 + slots * 2 + 8, 4);
    }
    return "unwind data chained in a loop";
}

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof(text), "0x%" PRIX64, value);
    return text;
}

const char* BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace

std::string DescribeFrames(const DumpFacts& facts, const uint8_t* bytes, size_t size,
                           const ImageSource& images) {
    if (!facts.hasException) return {};
    const View dump(bytes, size);
    std::string text = "frames of thread " + std::to_string(facts.threadId) + ":\r\n";
    if (facts.contextSize < kContextSize || !dump.Has(facts.contextRva, kContextSize))
        return text + "  (no context of the thread in this dump)\r\n";
    Registers regs;
    for (int i = 0; i < 16; ++i)
        regs.r[i] = dump.Read(facts.contextRva + kContextRegistersAt + i * 8, 8);
    regs.rip = dump.Read(facts.contextRva + kContextRipAt, 8);
    const Stack stack(dump, facts);
    for (int frame = 0; frame < kMostFrames; ++frame) {
        size_t index = facts.modules.size();
        for (size_t i = 0; i < facts.modules.size(); ++i)
            if (regs.rip >= facts.modules[i].base &&
                regs.rip - facts.modules[i].base < facts.modules[i].size)
                index = i;
        text += "  #" + std::to_string(frame) + " ";
        if (index == facts.modules.size())
            return text + Hex(regs.rip) + " (in no listed module: the walk ends)\r\n";
        const Module& module = facts.modules[index];
        const uint64_t rva = regs.rip - module.base;
        text += std::string(BaseName(facts.names[module.name])) + "+" + Hex(rva);
        const ImageBytes file = images ? images(index) : ImageBytes();
        const Image image(file.data, file.data ? file.size : 0, module);
        if (!image.Valid())
            return text +
                   " (no unwind data: the module's file is not at hand, or is another build)\r\n";
        text += "\r\n";
        uint64_t begin = 0;
        const uint64_t info = image.FindFunction(rva, begin);
        bool machineFrame = false;
        const uint64_t rspBefore = regs.r[kRsp];
        if (info) {
            const std::string why = Unwind(image, stack, info, rva - begin, regs, machineFrame);
            if (!why.empty()) return text + "  (the walk ends: " + why + ")\r\n";
        }
        if (!machineFrame) {
            if (!stack.Read(regs.r[kRsp], regs.rip))
                return text + "  (the walk ends: the return address lies outside the stack)\r\n";
            regs.r[kRsp] += 8;
        }
        if (regs.rip == 0) return text;
        if (regs.r[kRsp] <= rspBefore)
            return text + "  (the walk ends: the stack does not unwind upwards)\r\n";
    }
    return text + "  (the walk ends after " + std::to_string(kMostFrames) + " frames)\r\n";
}

}  // namespace minidump
