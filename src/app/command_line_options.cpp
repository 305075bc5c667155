#include "app/command_line_options.h"

#include <windows.h>
#include <shellapi.h>

#include "common/handles.h"

namespace {

WString FoldKey(const WString& key) {
    WString folded(key);
    folded.MakeUpper();
    return folded;
}

}  // namespace

CommandLineOptions::~CommandLineOptions() {
    pairs_.clear();
    text_ = WString();
}

int CommandLineOptions::Load(const wchar_t* commandLine) {
    text_ = WString(commandLine);
    Parse();
    return 1;
}

int CommandLineOptions::Parse() {
    pairs_.clear();
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(text_.c_str(), &count);
    if (!args) return 0;
    UniqueLocal owner(reinterpret_cast<HLOCAL>(args));
    for (int i = 0; i < count; ++i) {
        const WString arg(args[i]);
        const size_t equals = arg.Find(L'=');
        if (equals == WString::npos) {
            WString key(arg);
            SetValue(key.Trim(), WString());
            continue;
        }
        WString key = arg.Mid(0, equals);
        WString value = arg.Mid(equals + 1);
        key.Trim();
        value.Trim();
        // Quotes go after trimming, so blanks inside them stay.
        if (!value.IsEmpty() && value[0] == L'"') value = value.Mid(1);
        if (!value.IsEmpty() && value[value.Length() - 1] == L'"')
            value = value.Mid(0, value.Length() - 1);
        SetValue(key, value);
    }
    return 1;
}

bool CommandLineOptions::GetValue(const WString& key, WString& value) const {
    const auto hit = pairs_.find(FoldKey(key));
    if (hit == pairs_.end()) return false;
    value = hit->second;
    return true;
}

void CommandLineOptions::SetValue(const WString& key, const WString& value) {
    pairs_[FoldKey(key)] = value;
}
