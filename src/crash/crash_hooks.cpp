#include "crash/crash_hooks.h"

#include <csignal>
#include <new>

#include "crash/fault_record_capture.h"
#include "crash/handoff.h"

namespace {

// Turns the context of a function's own frame into that of its caller, at
// the return address: the frame of the hook, which stays live while the
// uploader reads the record.
void UnwindOneFrame(CONTEXT& context) {
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (!function) {
        // A leaf function: its return address is on top of the stack.
        context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
        context.Rsp += sizeof(DWORD64);
        return;
    }
    void* handlerData = nullptr;
    DWORD64 establisherFrame = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                     &establisherFrame, nullptr);
}

}  // namespace

// The record lives in the thread's report, which its hook keeps until the
// uploader has read it; it is never freed.
__attribute__((noinline)) void CaptureExceptionPointers(DWORD code, EXCEPTION_POINTERS** out) {
    SyntheticRecord* const blocks = SyntheticRecordRoom();
    *out = nullptr;
    if (!blocks) return;
    blocks->context = CONTEXT{};
    RtlCaptureContext(&blocks->context);
    UnwindOneFrame(blocks->context);
    blocks->record = EXCEPTION_RECORD{};
    blocks->record.ExceptionCode = code;
    blocks->record.ExceptionAddress = __builtin_return_address(0);
    blocks->pointers.ExceptionRecord = &blocks->record;
    blocks->pointers.ContextRecord = &blocks->context;
    *out = &blocks->pointers;
}

namespace crash_hooks {

// The hooks repeat the same few lines on purpose: a synthetic record points
// at the return address into the hook that captured it, so each hook must
// call CaptureExceptionPointers itself, and stay a function of its own.
//
// The run-time puts a signal's handler back to the default as it calls it, so
// a signal hook installs itself again: a second abort or raised signal is
// reported too, instead of ending the process unreported. A SIGSEGV or
// SIGFPE that comes from a fault is the exception: the run-time's reset lets
// the fault, when it repeats, reach the top-level filter rather than this
// hook again.

void __cdecl PureCall() {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void OutOfMemory() {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
    throw std::bad_alloc();
}

int __cdecl RuntimeOutOfMemory(size_t) {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
    return 0;
}

void __cdecl InvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                              uintptr_t) {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl AbortSignal(int) {
    signal(SIGABRT, AbortSignal);
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl InterruptSignal(int) {
    signal(SIGINT, InterruptSignal);
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl TerminationSignal(int) {
    signal(SIGTERM, TerminationSignal);
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void Terminate() {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void Unexpected() {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl FloatingPointSignal(int) {
    EXCEPTION_POINTERS pair = {};
    EXCEPTION_POINTERS* pointers = FaultRecordForSignal(SIGFPE, pair, __builtin_return_address(0));
    if (!pointers) signal(SIGFPE, FloatingPointSignal), CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl IllegalInstructionSignal(int) {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl SegmentationSignal(int) {
    EXCEPTION_POINTERS pair = {};
    EXCEPTION_POINTERS* pointers = FaultRecordForSignal(SIGSEGV, pair, __builtin_return_address(0));
    if (!pointers) signal(SIGSEGV, SegmentationSignal), CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

}  // namespace crash_hooks

const CrashHookEntry* CrashHookTable(size_t* count) {
    using namespace crash_hooks;
    static const CrashHookEntry table[] = {
        {"top_level_filter", reinterpret_cast<const void*>(&LaunchUploader)},
        {"pure_call", reinterpret_cast<const void*>(&PureCall)},
        {"out_of_memory", reinterpret_cast<const void*>(&OutOfMemory)},
        {"runtime_out_of_memory", reinterpret_cast<const void*>(&RuntimeOutOfMemory)},
        {"invalid_parameter", reinterpret_cast<const void*>(&InvalidParameter)},
        {"sigabrt", reinterpret_cast<const void*>(&AbortSignal)},
        {"sigint", reinterpret_cast<const void*>(&InterruptSignal)},
        {"sigterm", reinterpret_cast<const void*>(&TerminationSignal)},
        {"terminate", reinterpret_cast<const void*>(&Terminate)},
        {"unexpected", reinterpret_cast<const void*>(&Unexpected)},
        {"sigfpe", reinterpret_cast<const void*>(&FloatingPointSignal)},
        {"sigill", reinterpret_cast<const void*>(&IllegalInstructionSignal)},
        {"sigsegv", reinterpret_cast<const void*>(&SegmentationSignal)},
    };
    *count = sizeof(table) / sizeof(table[0]);
    return table;
}
