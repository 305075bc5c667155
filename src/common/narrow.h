#pragma once

#include <windows.h>

#include <string>

#include "common/wstring.h"

// Converts to a narrow code page without flags or default character.
// The first try gives 4 bytes per unit, terminator included; if that is too
// small, the size is measured and the conversion repeated once. Any other
// failure throws HResultError(HRESULT_FROM_WIN32(last error)).
std::string ToNarrow(const WString& text, UINT codePage);
