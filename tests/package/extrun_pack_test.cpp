#include <gtest/gtest.h>

#include <string>

#include "package/package_builder.h"
#include "package/param_package.h"
#include "test_support.h"

using namespace testsupport;

namespace {

struct PackRun {
    DWORD exitCode;
    std::string output;
};

PackRun Pack(const std::wstring& arguments) {
    const std::wstring tool = BinPath(L"extrun-pack.exe");
    PackRun run{0, {}};
    run.exitCode =
        RunProcess(L"\"" + tool + L"\" " + arguments, L"", 30000, tool, &run.output).exitCode;
    while (!run.output.empty() && (run.output.back() == '\n' || run.output.back() == '\r'))
        run.output.pop_back();
    return run;
}

std::string Record(const std::string& package, const char* name) {
    ParamPackage p;
    p.Load(package.c_str(), package.size());
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (!p.FindRecord("dmms", name, &data, &length)) return "<none>";
    return std::string(reinterpret_cast<const char*>(data), length);
}

}  // namespace

TEST(ExtrunPack, BuildsPackagesTheLauncherReadsAndListsThemBack) {
    TempDir dir(L"pack");
    ASSERT_TRUE(WriteBytes(dir / L"blob.bin", std::string("\x01\x00\xff", 3)));
    const PackRun built =
        Pack(L"\"--cmd-line=extrun.exe --dll=a b.dll\" --text=note=hello --file=blob=" +
             dir / L"blob.bin");
    ASSERT_EQ(built.exitCode, 0u) << built.output;
    EXPECT_EQ(Record(built.output, "cmd_line"), package::Utf16Bytes(L"extrun.exe --dll=a b.dll"));
    EXPECT_EQ(Record(built.output, "note"), package::Utf16Bytes(L"hello"));
    EXPECT_EQ(Record(built.output, "blob"), std::string("\x01\x00\xff", 3));

    const PackRun listed =
        Pack(L"--dump=" + std::wstring(built.output.begin(), built.output.end()));
    EXPECT_EQ(listed.exitCode, 0u);
    EXPECT_NE(listed.output.find("3 record(s)"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("name=\"cmd_line\" length=48 text=\"extrun.exe --dll=a b.dll\""),
              std::string::npos)
        << listed.output;
    // Bytes that are not text are listed without a text.
    const std::string last = "name=\"blob\" length=3";
    EXPECT_EQ(listed.output.substr(listed.output.size() - last.size()), last) << listed.output;
}

TEST(ExtrunPack, RefusesMalformedInputWithAMessage) {
    struct Case {
        std::wstring arguments;
        const char* message;
    } cases[] = {
        {L"", "usage"},
        {L"--bogus", "usage"},
        {L"--text=no-equals-sign", "bad record"},
        {L"--text==empty-name", "bad record"},
        {L"--text=" + std::wstring(51, L'n') + L"=x", "bad record"},
        {L"--file=blob=C:\\no\\such\\file", "cannot read"},
        {L"--dump=!!!", "not base64"},
        {L"--dump=abc", "not a package"},
        {L"--dump-file=C:\\no\\such\\file", "cannot read"},
    };
    for (const Case& c : cases) {
        const PackRun run = Pack(c.arguments);
        EXPECT_EQ(run.exitCode, 2u) << testing::PrintToString(c.arguments);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
}
