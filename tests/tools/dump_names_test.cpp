// What the reference uploader makes of the texts a failing process hands it: the text file
// beside a dump escapes them, the dump's name holds only characters that show as what they are.
#include <gtest/gtest.h>

#include "dump_store.h"
#include "upload_config.h"
#include "upload_request.h"

TEST(DumpNames, TextsAreEscapedInTheTextFileAndFittedInTheName) {
    const std::wstring thirtyOne(31, L'a');
    const struct {
        std::wstring given;
        std::wstring text;  // in the text file
        std::wstring name;  // in the dump's name
    } cases[] = {
        {L"ab\nprogram=C:\\evil.exe", L"ab<U+000A>program=C:\\evil.exe", L"ab_program=C__evil.exe"},
        {L"ab\x202Egpj.exe", L"ab<U+202E>gpj.exe", L"ab_gpj.exe"},
        {L"\x85\x2028\x2029\x200E\x200F\x061C\x2066\x2069\x202A\x1B\x7F\x9F",
         L"<U+0085><U+2028><U+2029><U+200E><U+200F><U+061C><U+2066><U+2069><U+202A><U+001B>"
         L"<U+007F><U+009F>",
         L"____________"},
        // The cut leaves a pair whole or out; a lone half is escaped and no part of a name.
        {thirtyOne + L"\xD83D\xDE00z", thirtyOne + L"\xD83D\xDE00z", thirtyOne},
        {L"a\xD83D\xDE00-b", L"a\xD83D\xDE00-b", L"a\xD83D\xDE00_b"},
        {L"a\xDE00\xD83D", L"a<U+DE00><U+D83D>", L"a__"},
        {L"\xD800", L"<U+D800>", L"_"},
    };
    for (const auto& c : cases) {
        UploadRequest request;
        request.source = c.given;
        EXPECT_EQ(EscapeText(c.given), c.text);
        EXPECT_NE(DescribeRequest(request, c.given, L"").find(L"\r\nsrc=" + c.text + L"\r\n"),
                  std::wstring::npos);
        EXPECT_EQ(FitForName(c.given), c.name);
    }
}

TEST(UploadFile, TakesAUrlAndFieldsAndRefusesEverythingElseWhole) {
    const struct {
        const char* text;
        const char* problem;  // empty: taken
        const char* host;
        unsigned port;
        const char* path;
    } cases[] = {
        {"# a comment\r\n\r\nurl=https://crash.example.com/api/7/minidump/?key=a\r\nfield.t=x y\n",
         "", "crash.example.com", 443, "/api/7/minidump/?key=a"},
        {"url=http://127.0.0.1:8080", "", "127.0.0.1", 8080, "/"},
        {"url=http://[::1]:9/up", "", "::1", 9, "/up"},
        {"url=https://[2001:db8::1]/", "", "2001:db8::1", 443, "/"},
        {"", "no url= line"},
        {"field.t=x\n", "no url= line"},
        {"url=http://crash.example.com/", "line 1: http:// is for a loopback address only"},
        {"url=http://localhost/", "line 1: http:// is for a loopback address only"},
        {"url=http://127.0.0.1.example.com/", "line 1: http:// is for a loopback address only"},
        {"url=http://128.0.0.1/", "line 1: http:// is for a loopback address only"},
        {"url=ftp://127.0.0.1/", "line 1: the url is neither https:// nor http://"},
        {"url=https://user@example.com/", "line 1: the url's host holds a character"},
        {"url=https://example.com:0/", "line 1: the url's port is not a number 1-65535"},
        {"url=https://example.com:65536/", "line 1: the url's port is not a number 1-65535"},
        {"url=https://example.com:/", "line 1: the url's port is not a number 1-65535"},
        {"url=https://example.com/a b", "line 1: the url's path holds a blank"},
        {"url=https://example.com/a#b", "line 1: the url's path holds a blank"},
        {"url=https://example.com/\nurl=https://example.org/", "line 2: a second url"},
        {"url=https://example.com/\nURL=https://example.org/", "line 2: unknown key \"URL\""},
        {"url=https://example.com/\nfield.a=1\nfield.a=2", "line 3: a second field.a"},
        {"url=https://example.com/\nfield.src=1", "line 2: the field src is the uploader's own"},
        {"url=https://example.com/\nfield.upload_file_minidump=1",
         "line 2: the field upload_file_"},
        {"url=https://example.com/\nfield.a\"b=1", "line 2: a field name of other than"},
        {"url=https://example.com/\nfield.=1", "line 2: a field name of other than"},
        {"url=https://example.com/\nfield.a=1\x1B[2J", "line 2: a control character"},
        {"url=https://example.com/\nfield.a=1\rfield.b=2\n", "line 2: a control character"},
        {"url=https://example.com/\njunk", "line 2: not key=value"},
    };
    for (const auto& c : cases) {
        UploadTarget target;
        const std::string problem = ParseUploadFile(c.text, target);
        EXPECT_EQ(problem.substr(0, strlen(c.problem)), c.problem) << c.text;
        if (*c.problem || !problem.empty()) continue;
        EXPECT_EQ(target.host + " " + std::to_string(target.port) + " " + target.path,
                  c.host + std::string(" ") + std::to_string(c.port) + " " + c.path);
    }
    UploadTarget target;
    EXPECT_EQ(ParseUploadFile(std::string(kLongestUploadFile + 1, '#'), target),
              "longer than 8 KiB");
    std::string many = "url=https://example.com/\n";
    for (int i = 0; i < 33; ++i) many += "field.f" + std::to_string(i) + "=v\n";
    EXPECT_EQ(ParseUploadFile(many, target), "line 34: more than 32 fields");
}
