#pragma once

// What a minidump file says about the fault it was written for, read from
// its bytes alone: the exception stream, the thread list and the module
// list. Every offset and size taken from the file is checked against the
// file's size before it is read, so a damaged or foreign file gives a
// refusal, never a read outside it. No Windows headers here, so the reader
// can also be fuzzed natively.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace minidump {

struct Module {
    uint64_t base = 0;
    uint32_t size = 0;
    size_t name = 0;         // its path, in DumpFacts::names
    uint32_t timeStamp = 0;  // the image's link time, as its file header has it
    // From its CodeView record, when it has one: the identifier symbol stores
    // key its debug file by (the GUID's 32 hex digits and the age in hex, as
    // Windows' tools write it) and that file's name, escaped.
    std::string debugId;
    std::string debugFile;
};

struct DumpFacts {
    // Empty when every stream read here lies whole in the file; else why
    // the file is refused, and nothing else is meant to be used.
    std::string problem;
    bool hasException = false;
    uint32_t threadId = 0;
    uint32_t code = 0;
    uint64_t address = 0;
    // The first two parameters of the record (an access violation's kind
    // and address), and how many the record had.
    uint32_t parameterCount = 0;
    uint64_t parameters[2] = {};
    std::vector<uint32_t> threads;
    // Where the faulting thread's context (from the exception stream) and
    // its stack (from the thread list) lie in the file; sizes 0 when absent.
    // Checked against the file only by whoever reads them.
    uint32_t contextRva = 0, contextSize = 0;
    uint64_t stackStart = 0;
    uint32_t stackRva = 0, stackSize = 0;
    std::vector<Module> modules;
    // The modules' paths, each text once, as UTF-8 with every character
    // IsDisguising names written <U+XXXX>; cut where they pass a bound set
    // by the file's size.
    std::vector<std::string> names;
};

DumpFacts ReadDump(const uint8_t* bytes, size_t size);

// "EXCEPTION_ACCESS_VIOLATION" and the like; "unknown" for a code not known here.
const char* ExceptionName(uint32_t code);

// The facts as `FaultSend.exe --show` prints them, lines ending in "\r\n",
// UTF-8.
std::string Describe(const DumpFacts& facts);

}  // namespace minidump
