#include "crash/stack_reserve.h"

namespace {

bool IsPlainCommitted(const MEMORY_BASIC_INFORMATION& region) {
    return region.State == MEM_COMMIT && !(region.Protect & (PAGE_GUARD | PAGE_NOACCESS));
}

}  // namespace

const NT_TIB* ThreadInformationBlock() {
    // GCC 12 takes the gs-relative read in NtCurrentTeb for an access to an
    // empty array.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    return reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
#pragma GCC diagnostic pop
}

// Windows keeps a thread's stack guarantee by moving the guard page down as
// the stack grows: when it reaches the guaranteed area, the overflow is
// raised with that area still free. Wine commits a thread's whole stack up
// front with a single guard page at the very bottom, so there the overflow
// comes on the last page and the process ends while it is dispatched. A
// guard page placed just above the guaranteed area gives Wine a stack that
// grows into it the Windows way. Where the pages there are only reserved (a
// stack that does grow), nothing more is needed.
void ReserveStackForHandOff(ULONG bytes, SIZE_T smallestStack) {
    MEMORY_BASIC_INFORMATION current = {};
    if (!VirtualQuery(&current, &current, sizeof(current))) return;
    char* const bottom = static_cast<char*>(current.AllocationBase);
    char* const top = static_cast<char*>(ThreadInformationBlock()->StackBase);
    if (static_cast<SIZE_T>(top - bottom) < smallestStack) return;

    ULONG previous = bytes;
    if (!SetThreadStackGuarantee(&previous)) return;

    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    const SIZE_T page = system.dwPageSize;
    const SIZE_T guaranteed = (bytes + page - 1) / page * page;

    char* const guard = bottom + page + guaranteed;
    // A thread already this deep in its stack keeps what it has.
    if (guard + 2 * page > reinterpret_cast<char*>(&current)) return;

    MEMORY_BASIC_INFORMATION at = {};
    if (!VirtualQuery(guard, &at, sizeof(at)) || at.AllocationBase != current.AllocationBase ||
        !IsPlainCommitted(at))
        return;
    DWORD oldProtection = 0;
    VirtualProtect(guard, page, at.Protect | PAGE_GUARD, &oldProtection);
}
