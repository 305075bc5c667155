// The reference uploader's dump reader on a dump that dbghelp writes of this process for a made-up
// fault, on every cut of that dump, and on files of other kinds.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include "minidump_reader.h"
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
    split.replace(firstName + 4 + U32(dump, firstName) - 2, 4, reinterpret_cast<const char*>(pair), 4);
    const std::string name = Read(split).modules.at(0).path;
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
