#pragma once

#include <cstddef>
#include <cstdint>

// The record whose data is the relaunch's command line, taken as
// ParamPackage::FindRecord takes it: the first with this tag whose name is a
// leading part of this name.
inline constexpr char kCommandLineRecord[] = "cmd_line";
inline constexpr char kCommandLineTag[4] = {'d', 'm', 'm', 's'};

// The longest command line a relaunch passes on, in UTF-16 units: the record
// is copied into a buffer of one unit more, which always ends in a zero.
inline constexpr size_t kRelaunchCommandLineUnits = 4095;

// Copies a command-line record's data into `commandLine`, which holds
// kRelaunchCommandLineUnits + 1 units and is zero-filled: the copy's text
// ends at the first zero unit or after kRelaunchCommandLineUnits units. The
// record's own text, up to its first zero unit or its end (an odd last byte
// counting as a unit), is this many units long: more than
// kRelaunchCommandLineUnits when the copy is cut.
size_t CopyCommandLine(const uint8_t* data, uint32_t length, wchar_t* commandLine);

namespace package {

// How long the command line that a relaunch takes from `image` (built, not
// scrambled) is, counted as CopyCommandLine counts it; 0 when the image holds
// no such record. Makers of packages refuse one the launcher would cut.
size_t CommandLineUnits(const uint8_t* image, size_t size);

}  // namespace package
