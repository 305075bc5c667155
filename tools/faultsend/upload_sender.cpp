#include "upload_sender.h"

#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/handles.h"
#include "common/system_library.h"
#include "dump_store.h"
#include "text_output.h"

namespace {

// The sender ends by itself after this, whatever waits: a dump not sent by
// then goes with the next sender (the next dump written).
constexpr ULONGLONG kSendingBoundMs = 4 * 60 * 1000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kTransferTimeoutMs = 60000;
// What the text file keeps of a service's answer.
constexpr size_t kAnswerKept = 200;
constexpr size_t kLongestText = 16 * 1024;
constexpr wchar_t kUserAgent[] = L"FaultSend/1";
constexpr char kDumpPart[] = "upload_file_minidump";
// The text file's keys that go with the dump, in this order.
constexpr const char* kTextKeys[] = {"pep", "pid",     "tid",     "src",  "ver",
                                     "rep", "restart", "program", "fault"};

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring program(path, length < MAX_PATH * 2 ? length : 0);
    return program.substr(0, program.find_last_of(L'\\'));
}

bool ReadSmallFile(HANDLE file, size_t most, std::string& bytes) {
    bytes.assign(most + 1, '\0');
    DWORD read = 0;
    if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        return false;
    bytes.resize(read);
    return true;
}

uint64_t Ticks(const FILETIME& time) {
    return ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart;
}

constexpr uint64_t kTicksPerMs = 10000;

std::string IsoTime(const SYSTEMTIME& t) {
    char text[32];
    snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond);
    return text;
}

// A record's time back as ticks; 0 when it is not one this program writes.
uint64_t ParseIsoTime(const std::string& text) {
    SYSTEMTIME t = {};
    unsigned y, mo, d, h, mi, s;
    char z = 0;
    if (text.size() != 20 ||
        sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &z) != 7 ||
        z != 'Z')
        return 0;
    t.wYear = static_cast<WORD>(y);
    t.wMonth = static_cast<WORD>(mo);
    t.wDay = static_cast<WORD>(d);
    t.wHour = static_cast<WORD>(h);
    t.wMinute = static_cast<WORD>(mi);
    t.wSecond = static_cast<WORD>(s);
    FILETIME time;
    return SystemTimeToFileTime(&t, &time) ? Ticks(time) : 0;
}

// A service's answer as one line: printable ASCII as it is, other bytes as
// <XX>, at most kAnswerKept bytes of it.
std::string EscapeAnswer(const std::string& answer) {
    std::string line;
    for (size_t i = 0; i < answer.size() && i < kAnswerKept; ++i) {
        const auto c = static_cast<unsigned char>(answer[i]);
        if (c >= 0x20 && c < 0x7F && c != '<') {
            line += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "<%02X>", c);
            line += hex;
        }
    }
    return answer.size() > kAnswerKept ? line + "..." : line;
}

// WinHTTP, loaded from the system folder on first use: it is no KnownDLL,
// so an import could take a copy planted beside this program. Kept until the
// process ends.
struct WinHttp {
    decltype(&::WinHttpOpen) open = nullptr;
    decltype(&::WinHttpConnect) connect = nullptr;
    decltype(&::WinHttpOpenRequest) openRequest = nullptr;
    decltype(&::WinHttpSetOption) setOption = nullptr;
    decltype(&::WinHttpSetTimeouts) setTimeouts = nullptr;
    decltype(&::WinHttpSendRequest) sendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) receiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) queryHeaders = nullptr;
    decltype(&::WinHttpReadData) readData = nullptr;
    decltype(&::WinHttpCloseHandle) closeHandle = nullptr;

    bool Load() {
        const HMODULE dll = syslib::LoadSystemLibrary(L"winhttp.dll");
        if (!dll) return false;
        const auto get = [dll](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
                GetProcAddress(dll, name));
            return function != nullptr;
        };
        return get(open, "WinHttpOpen") && get(connect, "WinHttpConnect") &&
               get(openRequest, "WinHttpOpenRequest") && get(setOption, "WinHttpSetOption") &&
               get(setTimeouts, "WinHttpSetTimeouts") && get(sendRequest, "WinHttpSendRequest") &&
               get(receiveResponse, "WinHttpReceiveResponse") &&
               get(queryHeaders, "WinHttpQueryHeaders") && get(readData, "WinHttpReadData") &&
               get(closeHandle, "WinHttpCloseHandle");
    }
};

class HttpHandle {
public:
    HttpHandle(const WinHttp& api, HINTERNET handle) : api_(api), handle_(handle) {}
    ~HttpHandle() {
        if (handle_) api_.closeHandle(handle_);
    }
    HttpHandle(const HttpHandle&) = delete;
    HttpHandle& operator=(const HttpHandle&) = delete;
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    const WinHttp& api_;
    HINTERNET handle_;
};

std::string ErrorText(const char* step) {
    return std::string("error ") + std::to_string(GetLastError()) + ": " + step + " failed";
}

// One POST of `body`; the record of what happened.
std::string Post(const WinHttp& api, const UploadTarget& target, const std::string& boundary,
                 const std::string& body) {
    // The system's proxy settings: the automatic ones where the system has
    // them (Windows 8.1 on), else the configured default.
    HttpHandle session(api, api.open(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    HttpHandle fallback(api, session ? nullptr
                                     : api.open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    const HINTERNET opened = session ? session.get() : fallback.get();
    if (!opened) return ErrorText("WinHttpOpen");
    // Not checked: without them the system's own time limits hold.
    api.setTimeouts(opened, kConnectTimeoutMs, kConnectTimeoutMs, kTransferTimeoutMs,
                    kTransferTimeoutMs);
    HttpHandle connection(api, api.connect(opened, Wide(target.host).c_str(), target.port, 0));
    if (!connection) return ErrorText("WinHttpConnect");
    HttpHandle request(
        api, api.openRequest(connection.get(), L"POST", Wide(target.path).c_str(), nullptr,
                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                             target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return ErrorText("WinHttpOpenRequest");
    // A redirect is an answer to record, not a place to send the dump to.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!api.setOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never)))
        return ErrorText("WinHttpSetOption");
    const std::wstring headers =
        L"Content-Type: multipart/form-data; boundary=" + Wide(boundary) + L"\r\n";
    if (!api.sendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                         const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                         static_cast<DWORD>(body.size()), 0))
        return ErrorText("WinHttpSendRequest");
    if (!api.receiveResponse(request.get(), nullptr)) return ErrorText("WinHttpReceiveResponse");
    DWORD status = 0, length = sizeof(status);
    if (!api.queryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &length, WINHTTP_NO_HEADER_INDEX))
        return ErrorText("WinHttpQueryHeaders");
    std::string answer;
    char buffer[1024];
    DWORD read = 0;
    while (answer.size() <= kAnswerKept &&
           api.readData(request.get(), buffer, sizeof(buffer), &read) && read > 0)
        answer.append(buffer, read);
    return std::to_string(status) + " " + EscapeAnswer(answer);
}

std::string Part(const std::string& boundary, const std::string& name, const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
           value + "\r\n";
}

// A dump waiting in the folder, as its text file says.
struct Waiting {
    std::wstring stem;
    std::vector<std::pair<std::string, std::string>> fields;  // the text's keys that are sent
    int tries = 0;
    bool sent = false;
    uint64_t lastTry = 0;
};

void ReadText(const std::string& text, Waiting& dump, uint64_t today, int& triesToday) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line.rfind(kUploadKey, 0) == 0) {
            const std::string record = line.substr(strlen(kUploadKey));
            const uint64_t time = ParseIsoTime(record.substr(0, 20));
            ++dump.tries;
            dump.lastTry = std::max(dump.lastTry, time);
            if (time / (24ull * 3600 * 1000 * kTicksPerMs) == today) ++triesToday;
            // "<time> 2xx ..."
            dump.sent = dump.sent || (record.size() > 24 && record[21] == '2' &&
                                      record.compare(24, 1, " ") == 0 &&
                                      isdigit(static_cast<unsigned char>(record[22])) &&
                                      isdigit(static_cast<unsigned char>(record[23])));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        for (const char* known : kTextKeys) {
            bool already = false;
            for (const auto& field : dump.fields) already = already || field.first == key;
            if (key == known && !already) dump.fields.emplace_back(key, line.substr(equals + 1));
        }
    }
}

std::string FieldValue(const Waiting& dump, const char* key) {
    for (const auto& field : dump.fields)
        if (field.first == key) return field.second;
    return {};
}

// Sends one dump and adds the record to its text file; false when it could
// do neither (the dump or its text is no plain file, or too large).
bool SendOne(const WinHttp& api, const UploadTarget& target, const std::wstring& folder,
             const std::wstring& folderPath, const std::string& product, const Waiting& dump) {
    UniqueFileHandle text =
        OpenPlainFile(folder, folderPath, dump.stem + kRequestExtension, FILE_APPEND_DATA, true);
    UniqueFileHandle file =
        OpenPlainFile(folder, folderPath, dump.stem + kDumpExtension, FILE_READ_DATA, false);
    LARGE_INTEGER size = {};
    if (!text || !file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestSent)
        return false;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size()))
        return false;

    std::vector<std::pair<std::string, std::string>> fields = {{"product", product},
                                                               {"version", FieldValue(dump, "ver")},
                                                               {"source", FieldValue(dump, "src")}};
    fields.insert(fields.end(), dump.fields.begin(), dump.fields.end());
    fields.insert(fields.end(), target.fields.begin(), target.fields.end());
    // A boundary that occurs nowhere in what it bounds.
    std::string boundary;
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; ++n) {
        char text[48];
        snprintf(text, sizeof(text), "FaultSend-%08X%08X", n, n * 2654435761u);
        boundary = text;
        bool inside = bytes.find(boundary) != std::string::npos;
        for (const auto& field : fields)
            inside = inside || field.second.find(boundary) != std::string::npos;
        if (!inside) break;
    }
    std::string body;
    for (const auto& field : fields) body += Part(boundary, field.first, field.second);
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + kDumpPart +
            "\"; filename=\"" + Utf8(dump.stem) + Utf8(kDumpExtension) +
            "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    body += bytes;
    body += "\r\n--" + boundary + "--\r\n";

    const std::string result = Post(api, target, boundary, body);
    SYSTEMTIME now;
    GetSystemTime(&now);
    const std::string line = std::string(kUploadKey) + IsoTime(now) + " " + result + "\r\n";
    DWORD written = 0;
    return WriteFile(text.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

}  // namespace

bool ReadUploadFile(UploadTarget& target, bool& present, std::wstring& why) {
    const std::wstring path = ProgramFolder() + L"\\" + kUploadFileName;
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    present = file || GetLastError() != ERROR_FILE_NOT_FOUND;
    if (!present) return true;
    std::string text;
    if (!file || !ReadSmallFile(file.get(), kLongestUploadFile, text)) {
        why = path + L": cannot be read (error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    const std::string problem = ParseUploadFile(text, target);
    if (!problem.empty()) {
        why = path + L": " + Wide(problem) + L"; nothing is sent";
        return false;
    }
    return true;
}

bool StartSender(const std::wstring& folder, std::wstring& why) {
    wchar_t program[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        why = L"cannot name its own program to start the sender";
        return false;
    }
    std::wstring command = L"\"" + std::wstring(program) + L"\" " + kSend + L" \"" + folder + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    // Out of the caller's job, so that a job ended with the failing process
    // does not end the sender; a job that forbids it keeps it.
    constexpr DWORD kDetached = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    const bool ok = CreateProcessW(program, command.data(), nullptr, nullptr, FALSE,
                                   kDetached | CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr,
                                   &startup, &started) ||
                    CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, kDetached,
                                   nullptr, nullptr, &startup, &started);
    if (!ok) {
        why = L"cannot start the sender (error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

int SendWaitingDumps(const std::wstring& folder) {
    UploadTarget target;
    bool present = false;
    std::wstring why;
    if (!ReadUploadFile(target, present, why) || !present) return 1;
    WinHttp api;
    if (!api.Load()) return 1;
    // One sender a folder: a second finds the first at work and ends. The
    // name is the folder's, letter case aside, hashed (FNV-1a).
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : folder) hash = (hash ^ towlower(c)) * 1099511628211ull;
    wchar_t name[64];
    _snwprintf(name, 63, L"Local\\FaultSend.send.%016llX", static_cast<unsigned long long>(hash));
    name[63] = 0;
    UniqueHandle lock(CreateMutexW(nullptr, FALSE, name));
    if (!lock) return 1;
    const DWORD waited = WaitForSingleObject(lock.get(), 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return 0;

    const std::wstring folderPath = FolderPath(folder);
    const size_t slash = folder.find_last_of(L'\\');
    const std::wstring dataFolder = folder.substr(0, slash == std::wstring::npos ? 0 : slash);
    const std::string product = Utf8(dataFolder.substr(dataFolder.find_last_of(L'\\') + 1));
    const ULONGLONG deadline = GetTickCount64() + kSendingBoundMs;
    // Dumps this run could not send or record: passed over until it ends.
    std::vector<std::wstring> passedOver;
    for (;;) {
        FILETIME nowTime;
        GetSystemTimeAsFileTime(&nowTime);
        const uint64_t now = Ticks(nowTime), today = now / (24ull * 3600 * 1000 * kTicksPerMs);
        std::vector<Waiting> waiting;
        int triesToday = 0;
        WIN32_FIND_DATAW found;
        HANDLE search =
            FindFirstFileExW((folder + L"\\*" + kDumpExtension).c_str(), FindExInfoBasic, &found,
                             FindExSearchNameMatch, nullptr, 0);
        for (bool more = search != INVALID_HANDLE_VALUE; more;
             more = FindNextFileW(search, &found)) {
            Waiting dump;
            if (found.dwFileAttributes &
                    (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT) ||
                !IsDumpName(found.cFileName, L"", dump.stem))
                continue;
            UniqueFileHandle text = OpenPlainFile(folder, folderPath, dump.stem + kRequestExtension,
                                                  FILE_READ_DATA, false);
            std::string bytes;
            if (!text || !ReadSmallFile(text.get(), kLongestText, bytes)) continue;
            ReadText(bytes, dump, today, triesToday);
            if (!dump.sent && dump.tries < kMostTries &&
                std::find(passedOver.begin(), passedOver.end(), dump.stem) == passedOver.end())
                waiting.push_back(std::move(dump));
        }
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        if (waiting.empty() || triesToday >= kMostTriesADay) return 0;

        // The next try of each: at once, or after its back-off.
        uint64_t soonest = UINT64_MAX;
        const Waiting* due = nullptr;
        for (const Waiting& dump : waiting) {
            uint64_t wait = 0;
            if (dump.tries > 0) {
                wait = kFirstBackOffMs;
                for (int i = 1; i < dump.tries; ++i) wait *= kBackOffFactor;
            }
            const uint64_t at = dump.lastTry + wait * kTicksPerMs;
            if (at < soonest) {
                soonest = at;
                due = &dump;
            }
        }
        if (soonest <= now) {
            if (!SendOne(api, target, folder, folderPath, product, *due))
                passedOver.push_back(due->stem);
            continue;
        }
        const ULONGLONG sleep = (soonest - now) / kTicksPerMs + 1;
        if (GetTickCount64() + sleep > deadline) return 0;
        Sleep(static_cast<DWORD>(sleep));
    }
}
