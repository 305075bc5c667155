#pragma once

#include <windows.h>

// Keeps `bytes` of the calling thread's stack for the hand-off after a stack
// overflow, so that the filter can still run there. A thread whose whole
// stack is smaller than `smallestStack` keeps all of it.
void ReserveStackForHandOff(ULONG bytes, SIZE_T smallestStack);

// The calling thread's information block: its stack's bounds, and through
// its own address the rest of the thread's block.
const NT_TIB* ThreadInformationBlock();
