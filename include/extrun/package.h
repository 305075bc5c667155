// Parameter packages for extrun.exe --param=..., made and read in a product's own program by the
// code extrun-pack.exe runs. extrun.exe relaunches itself hidden with the command line in a
// package's "cmd_line" record.
//
// A static C++17 library built by mingw-w64 GCC, for programs built by the same toolchain. It
// imports only system DLLs; crypt32, which does the base64, is loaded from the system folder.
#pragma once

#include <string>
#include <vector>

namespace extrun {

struct PackageRecord {
    std::string name;  // 1 to 50 bytes, no zero byte
    std::string data;  // any bytes
};

// The record the launcher relaunches with: "cmd_line", the command line as UTF-16LE, of which
// the launcher takes at most 4095 units. It starts itself with the line, whatever program the
// line's first argument names.
PackageRecord CommandLineRecord(const std::wstring& commandLine);

// The base64 text for --param=; empty when there is no record, a name is not 1 to 50 bytes
// without a zero byte, or the command line the launcher takes is longer than 4095 units. Then
// `reason`, when given, says which, in the words extrun-pack.exe prints for it, as in "the command
// line is 4096 UTF-16 units long; the launcher takes at most 4095".
std::string MakePackage(const std::vector<PackageRecord>& records, std::wstring* reason = nullptr);

// The records of a package's base64 text, in order, as far as they are whole; false when the
// text is not base64 or is no package made with the launcher's keys.
bool ReadPackage(const std::string& text, std::vector<PackageRecord>* records);

}  // namespace extrun
