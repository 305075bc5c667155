// The reference uploader's dump reader on a dump that dbghelp writes of this process for a made-up
// fault, on every cut of that dump, and on files of other kinds.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include "minidump_reader.h"
#include "stack_walk.h"
#include "test_support.h"

using namespace testsupport;

namespace {

minidump::DumpFacts Read(const std::string& bytes) {
    return minidump::ReadDump(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

uint32_t U32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    if (at + 4 <= bytes.size()) memcpy(&value, bytes.data() + at, 4);
    return value;
}

// `bytes` with the 32-bit number at `at` made `value`.
std::string With(std::string bytes, size_t at, uint32_t value) {
    return bytes.replace(at, 4, reinterpret_cast<const char*>(&value), 4);
}

// Where the directory entry of stream `type` lies.
size_t StreamEntry(const std::string& dump, uint32_t type) {
    for (uint32_t i = 0, at = U32(dump, 12); i < U32(dump, 8); ++i, at += 12)
        if (U32(dump, at) == type) return at;
    return 0;
}

// Left in bin/ as the fuzzer's seed (scripts/fuzz).
std::string DumpOfThisProcess(EXCEPTION_RECORD& record) {
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), &pointers, FALSE};
    const std::wstring path = BinPath(L"minidump_seed.dmp");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    // As the uploader does, so that Wine writes no unwind data of its own (see dump_writer.cpp).
    SymInitializeW(GetCurrentProcess(), nullptr, FALSE);
    EXPECT_TRUE(MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                  &exception, nullptr, nullptr));
    SymCleanup(GetCurrentProcess());
    CloseHandle(file);
    std::string bytes;
    ReadBytes(path, &bytes);
    return bytes;
}

}  // namespace

TEST(MinidumpReader, ReadsTheFaultTheThreadAndTheModulesOfAWholeDumpAndRefusesEveryOtherFile) {
    const auto* self = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    EXCEPTION_RECORD record = {EXCEPTION_ACCESS_VIOLATION,       0, nullptr,
                               const_cast<BYTE*>(self + 0x1234), 2, {1, 0x10}};
    const std::string dump = DumpOfThisProcess(record);
    const minidump::DumpFacts facts = Read(dump);
    ASSERT_EQ(facts.problem, "");
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::string described = minidump::Describe(facts);
    char address[80];
    snprintf(address, sizeof(address), "\r\naddress: 0x%016llX faultsend_tests.exe+0x1234\r\n",
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(self + 0x1234)));
    for (const std::string& line :
         {std::string(
              "exception: 0xC0000005 EXCEPTION_ACCESS_VIOLATION, writing 0x0000000000000010"),
          "\r\nthread: " + std::to_string(GetCurrentThreadId()) + ", in the thread list\r\n",
          std::string(address), " " + ToUtf8(program) + "\r\n"})
        EXPECT_NE(described.find(line), std::string::npos) << line << " in\n" << described;

    std::string thisProgram;
    ReadBytes(program, &thisProgram);
    // The thread walked from where it captured its context, through the test's own frames, with
    // this program's unwind data; without the file, the walk says why it stops.
    const auto walk = [&](const std::string* image) {
        return minidump::DescribeFrames(
            facts, reinterpret_cast<const uint8_t*>(dump.data()), dump.size(), [&](size_t) {
                return image ? minidump::ImageBytes{reinterpret_cast<const uint8_t*>(image->data()),
                                                    image->size()}
                             : minidump::ImageBytes();
            });
    };
    const std::string frames = walk(&thisProgram);
    EXPECT_EQ(frames.rfind("frames of thread " + std::to_string(GetCurrentThreadId()) +
                               ":\r\n  #0 faultsend_tests.exe+0x",
                           0),
              0u)
        << frames;
    EXPECT_NE(frames.find("\r\n  #3 faultsend_tests.exe+0x"), std::string::npos) << frames;
    EXPECT_NE(walk(nullptr).find(" (no unwind data: the module's file is not at hand"),
              std::string::npos);
    EXPECT_NE(walk(&dump).find(" (no unwind data: "), std::string::npos);
    constexpr uint32_t kFar = 0x7FFFFFF0;
    const size_t threads = StreamEntry(dump, 3), modules = StreamEntry(dump, 4);
    const uint32_t firstName = U32(dump, U32(dump, modules + 8) + 4 + 20);
    const uint32_t threadList = U32(dump, threads + 8), slack = U32(dump, threads + 4) + 44;
    const struct {
        std::string bytes;
        const char* problem;
    } foreign[] = {
        {"", "not a minidump: the file is empty"},
        {thisProgram, "not a minidump: no MDMP signature"},
        {"MDMX" + dump.substr(4), "not a minidump: no MDMP signature"},
        {With(dump, 4, 0xA792), "not a minidump of a known version"},
        {With(dump, 12, kFar), "truncated: the stream directory lies past the end of the file"},
        {With(dump, threads + 4, kFar), "truncated: the thread list lies past the end of the file"},
        // One entry more than the stream holds, in a stream made 44 bytes (not an entry) longer.
        {With(With(dump, threads + 4, slack), threadList, U32(dump, threadList) + 1),
         "truncated: the thread list lies past the end of the file"},
        {With(dump, modules + 8, kFar), "truncated: the module list lies past the end of the file"},
        {With(dump, firstName, 65534), "truncated: a module's name lies past the end of the file"},
    };
    for (const auto& f : foreign) EXPECT_EQ(Read(f.bytes).problem, f.problem);
    // A high surrogate last in a name stands alone, whatever follows the name.
    std::string split = dump;
    const uint16_t pair[] = {0xD800, 0xDC00};
    split.replace(firstName + 4 + U32(dump, firstName) - 2, 4, reinterpret_cast<const char*>(pair),
                  4);
    const minidump::DumpFacts splitFacts = Read(split);
    const std::string name = splitFacts.names.at(splitFacts.modules.at(0).name);
    EXPECT_EQ(name.substr(name.size() - 3), "\xEF\xBF\xBD");

    // Each cut reads as the whole dump, when the streams read lie before it, or is refused. What
    // follows a cut is no part of the dump, so that a read past the cut shows.
    for (size_t size = 1; size < dump.size(); ++size) {
        const std::string cut = dump.substr(0, size) + std::string(dump.size() - size, '\xEE');
        const minidump::DumpFacts read =
            minidump::ReadDump(reinterpret_cast<const uint8_t*>(cut.data()), size);
        if (read.problem.empty())
            ASSERT_EQ(minidump::Describe(read), described) << size;
        else
            ASSERT_EQ(read.problem.rfind("truncated: ", 0), 0u) << size << ": " << read.problem;
    }
}

// Names made to fool a reader: line breaks and bidirectional controls show as <U+XXXX>, and names
// that share the file's bytes (every module named by one name of 32,767 U+0001, or names that
// overlap) give output within a small multiple of the file's size. Each is left in bin/ as a seed
// for the fuzzer (scripts/fuzz).
TEST(MinidumpReader, ShowsEveryModuleNameEscapedAndWithinABoundSetByTheFilesSize) {
    EXCEPTION_RECORD record = {EXCEPTION_BREAKPOINT};
    const std::string dump = DumpOfThisProcess(record);
    const size_t list = U32(dump, StreamEntry(dump, 4) + 8), modules = U32(dump, list);
    const auto nameAt = [&](size_t module) { return list + 4 + module * 108 + 20; };
    // Module 0's name rewritten in place, as long as it was.
    std::string disguised = dump;
    const char16_t marks[] = u"\n\x85\x2028\x2029\x202E\x2066\x200F\x061C\x1B";
    disguised.replace(U32(dump, nameAt(0)) + 4, sizeof(marks) - 2,
                      reinterpret_cast<const char*>(marks), sizeof(marks) - 2);
    // One name of 32,767 U+0001 for every module.
    std::string shared = dump + std::string(4, '\0');
    shared.replace(shared.size() - 4, 4, "\xFE\xFF\0\0", 4);
    for (size_t i = 0; i < 65534; i += 2) shared += std::string("\x01\0", 2);
    for (size_t i = 0; i < modules; ++i) shared = With(shared, nameAt(i), dump.size());
    // Names 4 bytes apart in one run of (U+FF00 + 2 (k mod 64), U+0000): each about 65,400 bytes
    // long, read from where it starts, and no two the same text.
    std::string overlapping = dump;
    for (size_t i = 0; i < 65534 / 4 + modules; ++i)
        overlapping += std::string{static_cast<char>(2 * (i % 64)), '\xFF', '\0', '\0'};
    for (size_t i = 0; i < modules; ++i)
        overlapping = With(overlapping, nameAt(i), dump.size() + 4 * i);
    // Module 0 given a CodeView record whose file name holds a right-to-left override.
    const std::string rsds(
        "RSDS\x67\x45\x23\x01\xAB\x89\xEF\xCD\x00\x11\x22\x33\x44\x55\x66\x77"
        "\x0A\0\0\0ab\xE2\x80\xAE"
        "c.pdb\0",
        35);
    const std::string recorded =
        With(With(dump + rsds, list + 4 + 76, static_cast<uint32_t>(rsds.size())), list + 4 + 80,
             static_cast<uint32_t>(dump.size()));
    const struct {
        const char* name;
        const std::string& bytes;
        const char* shows;
    } cases[] = {
        {"debug", recorded,
         "\r\n    debug id: 0123456789ABCDEF0011223344556677A ab<U+202E>c.pdb\r\n"},
        {"disguised", disguised,
         "<U+000A><U+0085><U+2028><U+2029><U+202E><U+2066><U+200F><U+061C><U+001B>"},
        {"shared", shared, "(named as the module at 0x"},
        {"overlapping", overlapping, "<cut: "},
    };
    for (const auto& c : cases) {
        WriteBytes(
            BinPath(L"minidump_seed_" + std::wstring(c.name, c.name + strlen(c.name)) + L".dmp"),
            c.bytes);
        const minidump::DumpFacts facts = Read(c.bytes);
        ASSERT_EQ(facts.problem, "") << c.name;
        const std::string described = minidump::Describe(facts);
        EXPECT_NE(described.find(c.shows), std::string::npos) << c.name;
        for (const char* raw : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xAE", "\x1B", "\x01"})
            EXPECT_EQ(described.find(raw), std::string::npos) << c.name;
        // The names' text is capped at 4 bytes a byte of the file; the lines around them, the
        // frames and the thread list vary with the dump this process makes of itself.
        EXPECT_LE(described.size(), 6 * c.bytes.size() + 100000) << c.name;
    }
}
