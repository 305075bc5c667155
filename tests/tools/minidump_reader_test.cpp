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

    std::string otherVersion = dump, directoryPastTheEnd = dump, thisProgram;
    otherVersion[4] = 0x12;
    directoryPastTheEnd.replace(12, 4, "\xF0\xFF\xFF\x7F", 4);
    ReadBytes(program, &thisProgram);
    const struct {
        std::string bytes;
        const char* problem;
    } foreign[] = {
        {"", "not a minidump: the file is empty"},
        {thisProgram, "not a minidump: no MDMP signature"},
        {"MDMX" + dump.substr(4), "not a minidump: no MDMP signature"},
        {otherVersion, "not a minidump of a known version"},
        {directoryPastTheEnd, "truncated: the stream directory lies past the end of the file"},
    };
    for (const auto& f : foreign) EXPECT_EQ(Read(f.bytes).problem, f.problem);

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
