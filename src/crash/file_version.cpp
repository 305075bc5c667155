#include "crash/file_version.h"
// Placeholder until version reading lands.
bool GetFileVersionString(const WString&, WString&) { return false; }
