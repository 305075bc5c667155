#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash_host_run.h"

using crashtest::CrashTree;
using crashtest::HostRun;
using crashtest::RunCase;
using crashtest::UploaderPlace;

namespace {

struct ArgumentCase {
    const char* name;
    std::wstring hostArguments;
    std::string expectedTail;  // what follows --tid=<id>
};

void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << c.name; }

class ArgumentText : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentText, CarriesTheFaultAndTheArmedSettings) {
    const ArgumentCase& c = GetParam();
    const HostRun host = RunCase(L"raise-sigterm " + c.hostArguments);
    ASSERT_EQ(host.uploads.size(), 1u);
    const crashtest::UploaderRun& run = host.uploads[0];
    const std::string parameters =
        "--pep=" + run.Get("pep") + " --pid=" + std::to_string(host.Note("pid")) +
        " --tid=" + std::to_string(host.Note("main_tid")) + " " + c.expectedTail;
    const std::string commandLine = run.Get("command_line");
    ASSERT_GE(commandLine.size(), parameters.size() + 1);
    EXPECT_EQ(commandLine.substr(commandLine.size() - parameters.size() - 1), " " + parameters);
    EXPECT_NE(run.Number("pep"), 0u);
}

const ArgumentCase kArgumentCases[] = {
    {"AsTheExtensionJobArmsIt", L"", "--src=extrun --ver=1.2.3.4 --rep=0"},
    {"TextsWithSpacesGoUnquoted", L"\"src=my source\" ver=2.1.0.5",
     "--src=my source --ver=2.1.0.5 --rep=0"},
    {"RestartComesLast", L"rep=255 restart", "--src=extrun --ver=1.2.3.4 --rep=255 --restart"},
    {"NullTextsAreEmpty", L"nosrc nover rep=7", "--src= --ver= --rep=7"},
    {"LongSourceIsCutTo259Units", L"src=" + std::wstring(300, L's'),
     "--src=" + std::string(259, 's') + " --ver=1.2.3.4 --rep=0"},
    {"LongVersionIsCutTo259Units", L"ver=" + std::wstring(300, L'9'),
     "--src=extrun --ver=" + std::string(259, '9') + " --rep=0"},
};

INSTANTIATE_TEST_SUITE_P(LaunchUploader, ArgumentText, testing::ValuesIn(kArgumentCases),
                         [](const testing::TestParamInfo<ArgumentCase>& info) {
                             return info.param.name;
                         });

struct PlaceCase {
    const char* name;
    std::vector<UploaderPlace> present;
    bool expectRun;
    UploaderPlace expected;
};

void PrintTo(const PlaceCase& c, std::ostream* os) { *os << c.name; }

class UploaderSearch : public testing::TestWithParam<PlaceCase> {};

TEST_P(UploaderSearch, StartsTheFirstCandidateThatExists) {
    const PlaceCase& c = GetParam();
    CrashTree tree;
    for (UploaderPlace place : c.present) tree.PlaceUploader(place);
    const HostRun host = tree.Run(L"raise-sigterm");

    if (!c.expectRun) {
        EXPECT_TRUE(host.uploads.empty());
    } else {
        ASSERT_EQ(host.uploads.size(), 1u);
        EXPECT_EQ(host.uploads[0].place, c.expected);
        EXPECT_EQ(host.uploads[0].Get("done"), "1");
    }
    // With or without an uploader, the hook returns and the host goes on.
    EXPECT_EQ(host.notes.count("returned"), 1u);
    EXPECT_EQ(host.process.exitCode, 0u);
}

using P = UploaderPlace;
const PlaceCase kPlaceCases[] = {
    {"AllFive",
     {P::BesideProgram, P::ProgramUtils, P::Parent, P::ParentUtils, P::Grandparent},
     true,
     P::BesideProgram},
    {"ProgramFolderBeforeItsUtils", {P::BesideProgram, P::ProgramUtils}, true, P::BesideProgram},
    {"ProgramUtilsBeforeParent",
     {P::ProgramUtils, P::Parent, P::ParentUtils, P::Grandparent},
     true,
     P::ProgramUtils},
    {"ParentBeforeParentUtils", {P::Parent, P::ParentUtils, P::Grandparent}, true, P::Parent},
    {"ParentUtilsBeforeGrandparent", {P::ParentUtils, P::Grandparent}, true, P::ParentUtils},
    {"OnlyParentUtils", {P::ParentUtils}, true, P::ParentUtils},
    {"OnlyGrandparent", {P::Grandparent}, true, P::Grandparent},
    {"NoneAnywhere", {}, false, P::Grandparent},
};

INSTANTIATE_TEST_SUITE_P(LaunchUploader, UploaderSearch, testing::ValuesIn(kPlaceCases),
                         [](const testing::TestParamInfo<PlaceCase>& info) {
                             return info.param.name;
                         });

}  // namespace
