#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// What the launcher's crash hand-off tells its uploader, exactly in the form
// it writes it: "--pep=%llu --pid=%d --tid=%d --src=%s --ver=%s --rep=%d",
// optionally followed by " --restart".
struct UploadRequest {
    uint64_t pep = 0;  // the EXCEPTION_POINTERS' address in the failing process
    DWORD pid = 0;
    DWORD tid = 0;
    std::wstring source;
    std::wstring version;
    int rep = 0;
    bool restart = false;
};

// `arguments` are the command line's arguments after the program's own path.
// Anything but that form (another order, a missing, empty or malformed
// number, an argument more) is refused, and `why` says what was wrong.
bool ParseUploadRequest(int count, const wchar_t* const* arguments, UploadRequest& request,
                        std::wstring& why);

// `text` with every character IsDisguising names, and every surrogate that
// is not half of a pair, written <U+XXXX>.
std::wstring EscapeText(const std::wstring& text);

// The request as the text file beside a dump holds it: one key=value a line,
// the launcher's argument names without dashes, the texts escaped.
// `fault` is DumpTarget::fault.
std::wstring DescribeRequest(const UploadRequest& request, const std::wstring& program,
                             const std::wstring& fault);
