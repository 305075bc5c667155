#pragma once

// Runs `body(context)` inside a structured exception frame whose filter
// always executes the handler: a machine fault or a raised exception that
// nothing inside `body` handles ends the call, as does a C++ exception that
// leaves `body`. Handlers inside `body` still get the first chance.
//
// Returns true when `body` returned normally, false when it was ended. An
// ended `body` is abandoned where it stood; its locals are not destroyed.
bool RunGuarded(void (*body)(void*), void* context);
