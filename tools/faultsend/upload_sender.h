#pragma once

// Sending dumps to the crash service a product names in FaultSend.upload
// beside this program. The uploader that wrote a dump only starts a sender
// (this program again, "--send <Dumps folder>", detached) and ends, so the
// failing process never waits for the network; the sender sends every dump
// of the folder not sent yet, its own and those earlier runs left, and
// writes what the service answered into each dump's text file.
#include <windows.h>

#include <string>

#include "upload_config.h"

inline constexpr wchar_t kSend[] = L"--send";

// The text file's line each try adds:
// "upload=<yyyy-mm-ddThh:mm:ssZ> <what happened>", where what happened is
// "<status> <the answer's first bytes, escaped>" or "error <n>: <why>".
inline constexpr char kUploadKey[] = "upload=";

// Tries of one dump at most, the waits after the first tries, and tries of
// all dumps of a folder in a day (UTC) at most.
inline constexpr int kMostTries = 5;
inline constexpr DWORD kFirstBackOffMs = 5000;
inline constexpr int kBackOffFactor = 4;
inline constexpr int kMostTriesADay = 20;
// A dump larger than this is never sent: a service takes a few MiB.
inline constexpr LONGLONG kLargestSent = 64ll << 20;

// Reads FaultSend.upload beside this program into `target`. `present` is
// false when there is none; false with `why` when it is refused.
bool ReadUploadFile(UploadTarget& target, bool& present, std::wstring& why);

// Starts this program as the sender of `folder`, detached from the caller
// (no console, no handles, out of its job where the job allows).
bool StartSender(const std::wstring& folder, std::wstring& why);

// The --send mode: sends what waits in `folder` while one sender at a time
// runs for it, and ends when nothing is left to try within its bound.
int SendWaitingDumps(const std::wstring& folder);
