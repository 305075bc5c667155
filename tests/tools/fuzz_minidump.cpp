// Feeds arbitrary bytes to the reference uploader's dump reader as a dump file. libFuzzer hands
// them over in a heap block of exactly their size, so any read past the file is a finding for
// AddressSanitizer; a dump that reads must also describe without one.
#include <cstdint>

#include "minidump_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const minidump::DumpFacts facts = minidump::ReadDump(data, size);
    if (facts.problem.empty()) minidump::Describe(facts);
    return 0;
}
