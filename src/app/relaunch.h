#pragma once

#include "common/wstring.h"
#include "package/command_line.h"

// Starts a hidden copy of this program with the command line held in the
// package's "cmd_line" record, without waiting for it. 0 when the copy was
// created; 1 when not, after setting the event named `syncEvent` if it exists.
int RelaunchFromPackage(const WString& param, const WString& syncEvent);
