#include "trust/fault_guard.h"

#include <windows.h>

// GCC has no __try/__except, so the frame is written by hand the way such a
// compiler lays one out on x64: a function whose unwind data names the
// system's __C_specific_handler with a scope table of one entry covering the
// call, filter 1 (EXCEPTION_EXECUTE_HANDLER) and a landing address. On a fault
// inside the call the dispatcher asks that handler, which unwinds the stack
// back to the landing address with RtlUnwindEx. Unlike a vectored handler
// this sees only what inner frames left unhandled, and unlike a signal
// handler it leaves the process in a consistent state.
//
// The return address of the call lies inside the scope because of the nop;
// 40 bytes keep the stack 16-byte aligned and give the callee its shadow
// space.
//
//   int ExtrunCallInFaultFrame(void (*fn)(void*), void* arg)
//       1 when fn returned, 0 when the frame's handler took over.
__asm__(
    "    .text\n"
    "    .globl ExtrunCallInFaultFrame\n"
    "    .def ExtrunCallInFaultFrame; .scl 2; .type 32; .endef\n"
    "    .seh_proc ExtrunCallInFaultFrame\n"
    "ExtrunCallInFaultFrame:\n"
    "    subq $40, %rsp\n"
    "    .seh_stackalloc 40\n"
    "    .seh_endprologue\n"
    "    .seh_handler __C_specific_handler, @except\n"
    "    .seh_handlerdata\n"
    "    .long 1\n"
    "    .rva .LextrunGuardBegin, .LextrunGuardEnd\n"
    "    .long 1\n"
    "    .rva .LextrunGuardCaught\n"
    "    .text\n"
    "    movq %rcx, %rax\n"
    "    movq %rdx, %rcx\n"
    ".LextrunGuardBegin:\n"
    "    callq *%rax\n"
    "    nop\n"
    ".LextrunGuardEnd:\n"
    "    movl $1, %eax\n"
    "    jmp .LextrunGuardDone\n"
    ".LextrunGuardCaught:\n"
    "    xorl %eax, %eax\n"
    ".LextrunGuardDone:\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    "    .seh_endproc\n");

extern "C" int ExtrunCallInFaultFrame(void (*fn)(void*), void* arg);

namespace {

struct GuardedCall {
    void (*body)(void*);
    void* context;
    bool threw;
};

// C++ exceptions are stopped here, inside the frame: GCC's unwinder cannot
// hand a throw over to a foreign handler cleanly, while faults pass through
// its frames untouched and reach the handler above.
void CallCatchingThrows(void* argument) noexcept {
    auto* call = static_cast<GuardedCall*>(argument);
    try {
        call->body(call->context);
    } catch (...) {
        call->threw = true;
    }
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context) {
    GuardedCall call{body, context, false};
    return ExtrunCallInFaultFrame(&CallCatchingThrows, &call) != 0 && !call.threw;
}
