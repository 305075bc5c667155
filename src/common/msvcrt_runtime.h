#pragma once

#include <cstdlib>

// The run-time's handler setters, reached in msvcrt.dll itself. mingw's
// import library gives local copies of these that only store a pointer the
// DLL never reads, and some msvcrt builds (Wine's) lack them; then the call
// does nothing and returns 0 / null.
namespace runtime {

unsigned int SetAbortBehavior(unsigned int flags, unsigned int mask);

}  // namespace runtime
