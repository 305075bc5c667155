// Feeds arbitrary bytes to the reference uploader's dump reader as a dump file. libFuzzer hands
// them over in a heap block of exactly their size, so any read past the file is a finding for
// AddressSanitizer; a dump that reads must also describe, and its faulting thread be walked,
// without one.
#include <cstdint>

#include "minidump_reader.h"
#include "stack_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const minidump::DumpFacts facts = minidump::ReadDump(data, size);
    if (!facts.problem.empty()) return 0;
    minidump::Describe(facts);
    // Each module's file is the dump itself: the walk reads a made image
    // through the same checks as a real one.
    minidump::DescribeFrames(facts, data, size, [&](size_t) {
        return minidump::ImageBytes{data, size};
    });
    return 0;
}
