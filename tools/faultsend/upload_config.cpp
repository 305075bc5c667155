#include "upload_config.h"

#include <cstring>

namespace {

constexpr char kUrlKey[] = "url";
constexpr char kFieldPrefix[] = "field.";
constexpr size_t kMostFields = 32;
constexpr size_t kLongestValue = 2048;
constexpr size_t kLongestFieldName = 64;

bool IsAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsFieldName(const std::string& name) {
    if (name.empty() || name.size() > kLongestFieldName) return false;
    for (char c : name)
        if (!IsAsciiAlnum(c) && !strchr("_.-", c)) return false;
    return true;
}

// Four numbers 0-255 with dots, the first 127.
bool IsLoopbackV4(const std::string& host) {
    int parts = 0, value = -1;
    for (size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            if (value < 0 || ++parts > 4) return false;
            if (parts == 1 && value != 127) return false;
            value = -1;
        } else if (host[i] >= '0' && host[i] <= '9' && value < 256) {
            value = (value < 0 ? 0 : value * 10) + (host[i] - '0');
            if (value > 255) return false;
        } else {
            return false;
        }
    }
    return parts == 4;
}

std::string ParseUrl(const std::string& url, UploadTarget& target) {
    std::string rest;
    if (url.rfind("https://", 0) == 0) {
        target.secure = true;
        rest = url.substr(8);
    } else if (url.rfind("http://", 0) == 0) {
        target.secure = false;
        rest = url.substr(7);
    } else {
        return "the url is neither https:// nor http://";
    }
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    target.path = slash == std::string::npos ? "/" : rest.substr(slash);
    for (char c : target.path)
        if (c <= ' ' || c > '~' || c == '#')
            return "the url's path holds a blank, '#' or a character past ASCII";
    std::string port;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return "the url's [address] is not closed";
        target.host = authority.substr(1, close - 1);
        for (char c : target.host)
            if (c == '\0' || !strchr("0123456789abcdefABCDEF:", c))
                return "the url's [address] is not an IPv6 address";
        if (target.host.empty()) return "the url's [address] is empty";
        authority.erase(0, close + 1);
        if (!authority.empty() && authority[0] != ':') return "the url's host is followed by text";
        hasPort = !authority.empty();
        if (hasPort) port = authority.substr(1);
    } else {
        const size_t colon = authority.find(':');
        target.host = authority.substr(0, colon);
        hasPort = colon != std::string::npos;
        if (hasPort) port = authority.substr(colon + 1);
        for (char c : target.host)
            if (!IsAsciiAlnum(c) && c != '.' && c != '-')
                return "the url's host holds a character other than letters, digits, '.' and '-'";
        if (target.host.empty()) return "the url names no host";
    }
    target.port = target.secure ? 443 : 80;
    if (hasPort) {
        unsigned value = 0;
        for (char c : port) {
            if (c < '0' || c > '9' || value > 6553) return "the url's port is not a number 1-65535";
            value = value * 10 + (c - '0');
        }
        if (port.empty() || value == 0 || value > 65535)
            return "the url's port is not a number 1-65535";
        target.port = static_cast<uint16_t>(value);
    }
    if (!target.secure && !IsLoopbackV4(target.host) && target.host != "::1")
        return "http:// is for a loopback address only (127.x.x.x or [::1]); use https://";
    return {};
}

}  // namespace

bool IsSentByTheUploader(const std::string& field) {
    static const char* const kOwn[] = {"upload_file_minidump",
                                       "product",
                                       "version",
                                       "source",
                                       "pep",
                                       "pid",
                                       "tid",
                                       "src",
                                       "ver",
                                       "rep",
                                       "restart",
                                       "program",
                                       "fault"};
    for (const char* own : kOwn)
        if (field == own) return true;
    return false;
}

std::string ParseUploadFile(const std::string& text, UploadTarget& target) {
    if (text.size() > kLongestUploadFile) return "longer than 8 KiB";
    target = UploadTarget();
    bool hasUrl = false;
    size_t number = 0;
    for (size_t start = 0; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string where = "line " + std::to_string(number + 1) + ": ";
        if (line.empty() || line[0] == '#') continue;
        for (unsigned char c : line)
            if (c < ' ' || c == 0x7F) return where + "a control character";
        const size_t equals = line.find('=');
        if (equals == std::string::npos) return where + "not key=value";
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (value.size() > kLongestValue) return where + "a value longer than 2048 bytes";
        if (key == kUrlKey) {
            if (hasUrl) return where + "a second url";
            hasUrl = true;
            const std::string why = ParseUrl(value, target);
            if (!why.empty()) return where + why;
        } else if (key.rfind(kFieldPrefix, 0) == 0) {
            const std::string name = key.substr(strlen(kFieldPrefix));
            if (!IsFieldName(name))
                return where + "a field name of other than 1-64 letters, digits, '_', '.', '-'";
            if (IsSentByTheUploader(name))
                return where + "the field " + name + " is the uploader's own";
            for (const auto& field : target.fields)
                if (field.first == name) return where + "a second field." + name;
            if (target.fields.size() == kMostFields) return where + "more than 32 fields";
            target.fields.emplace_back(name, value);
        } else {
            return where + "unknown key \"" + key + "\" (url=, field.<name>=)";
        }
    }
    if (!hasUrl) return "no url= line";
    return {};
}
