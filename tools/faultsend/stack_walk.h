#pragma once

// The faulting thread's frames, walked from the context the dump holds
// through the stack it holds, with each module's own unwind data (.pdata and
// .xdata) read from its file, as the system unwinds an x64 thread. Every
// offset taken from the dump or a module file is checked against its size;
// a frame that cannot be walked further ends the walk with the reason. No
// Windows headers here, so the walk can be fuzzed with the dump reader.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "minidump_reader.h"

namespace minidump {

struct ImageBytes {
    const uint8_t* data = nullptr;  // null: the module's file is not at hand
    size_t size = 0;
};

// The file of module `module` (an index into DumpFacts::modules).
using ImageSource = std::function<ImageBytes(size_t module)>;

// "frames of thread <id>:" and a line a frame, "  #<n> <module>+0x<offset>",
// lines ending in "\r\n"; at most 64 frames. Empty when the dump holds no
// fault.
std::string DescribeFrames(const DumpFacts& facts, const uint8_t* dump, size_t size,
                           const ImageSource& images);

}  // namespace minidump
