#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/handles.h"
#include "log_test_util.h"
#include "test_support.h"

namespace {

constexpr int kWriters = 4;
constexpr int kRecordsEach = 1500;
constexpr char kRecordPrefix[] = "[I][  32][log_writer] proc ";
constexpr char kPadding[] = " abcdefghijklmnopqrstuvwxyz0123456789";

struct Child {
    UniqueHandle process;
    DWORD processId = 0;
};

Child StartWriter(const std::wstring& arguments) {
    std::wstring command = L"\"" + testsupport::BinPath(L"log_writer.exe") + L"\" " + arguments;
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    Child child;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return child;
    CloseHandle(pi.hThread);
    child.process.reset(pi.hProcess);
    child.processId = pi.dwProcessId;
    return child;
}

DWORD WaitForExit(const Child& child) {
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(child.process.get(), 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(child.process.get(), &code);
    return code;
}

TEST(LogProcesses, SilentProcessCreatesNoLogFile) {
    testsupport::TempDir dir(L"log");
    const std::wstring path = dir / L"extrun.log";
    Child writer = StartWriter(L"write \"" + path + L"\" 1 10");
    ASSERT_TRUE(writer.process);
    EXPECT_EQ(WaitForExit(writer), 0u);
    EXPECT_FALSE(testsupport::Exists(path));
}

TEST(LogProcesses, ProcessesSharingOneFileWriteWholeLinesInTheirOwnOrder) {
    testsupport::TempDir dir(L"log");
    const std::wstring path = dir / L"extrun.log";
    ASSERT_TRUE(testsupport::WriteBytes(path + L".on", ""));
    const std::wstring eventName = L"log-go-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));

    std::vector<Child> writers;
    for (int id = 0; id < kWriters; ++id) {
        writers.push_back(StartWriter(L"write \"" + path + L"\" " + std::to_wstring(id) + L" " +
                                      std::to_wstring(kRecordsEach) + L" " + eventName));
        ASSERT_TRUE(writers.back().process);
    }
    SetEvent(go.get());
    for (const Child& writer : writers) EXPECT_EQ(WaitForExit(writer), 0u);

    std::map<long, int> idOfProcess;
    for (int id = 0; id < kWriters; ++id)
        idOfProcess[static_cast<long>(writers[id].processId)] = id;
    // Per writer: the texts of its lines, in file order.
    std::vector<std::vector<std::string>> seen(kWriters);
    for (const logtest::LogLine& line : logtest::ReadLogLines(path)) {
        auto found = idOfProcess.find(line.processId);
        ASSERT_NE(found, idOfProcess.end()) << "line of an unknown process: " << line.text;
        seen[found->second].push_back(line.text);
    }
    for (int id = 0; id < kWriters; ++id) {
        const std::vector<std::string>& texts = seen[id];
        ASSERT_EQ(texts.size(), static_cast<size_t>(kRecordsEach + 2)) << "writer " << id;
        EXPECT_EQ(texts.front(), "-------log start");
        EXPECT_EQ(texts.back(), "-------log end");
        for (int n = 0; n < kRecordsEach; ++n) {
            const std::string expected =
                kRecordPrefix + std::to_string(id) + " seq " + std::to_string(n) + kPadding;
            ASSERT_EQ(texts[static_cast<size_t>(n) + 1], expected) << "writer " << id;
        }
    }
}

}  // namespace
