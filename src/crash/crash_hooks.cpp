#include "crash/crash_hooks.h"

#include <csignal>
#include <new>

#include "crash/crash_handoff.h"
#include "crash/fault_record_capture.h"

namespace {

struct SyntheticRecord {
    EXCEPTION_RECORD* record;
    CONTEXT* context;
    EXCEPTION_POINTERS* pointers;
};

// Process lifetime, like every synthetic record.
SyntheticRecord outOfMemoryRecord = {};

SyntheticRecord AllocateSyntheticRecord() {
    HANDLE heap = GetProcessHeap();
    SyntheticRecord blocks = {
        static_cast<EXCEPTION_RECORD*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(EXCEPTION_RECORD))),
        static_cast<CONTEXT*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(CONTEXT))),
        static_cast<EXCEPTION_POINTERS*>(
            HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(EXCEPTION_POINTERS)))};
    if (blocks.record && blocks.context && blocks.pointers) return blocks;
    if (blocks.record) HeapFree(heap, 0, blocks.record);
    if (blocks.context) HeapFree(heap, 0, blocks.context);
    if (blocks.pointers) HeapFree(heap, 0, blocks.pointers);
    return {};
}

EXCEPTION_POINTERS* FillSyntheticRecord(const SyntheticRecord& blocks, DWORD code, void* address,
                                        const CONTEXT& context) {
    *blocks.record = EXCEPTION_RECORD{};
    blocks.record->ExceptionCode = code;
    blocks.record->ExceptionAddress = address;
    *blocks.context = context;
    blocks.pointers->ExceptionRecord = blocks.record;
    blocks.pointers->ContextRecord = blocks.context;
    return blocks.pointers;
}

// The out-of-memory hooks hand over the record set aside at arming: the
// allocation that just failed must not be needed again to report it.
__attribute__((noinline)) EXCEPTION_POINTERS* CaptureIntoReservedRecord() {
    CONTEXT context = {};
    RtlCaptureContext(&context);
    if (!outOfMemoryRecord.pointers) return nullptr;
    return FillSyntheticRecord(outOfMemoryRecord, 0, __builtin_return_address(0), context);
}

}  // namespace

__attribute__((noinline)) void CaptureExceptionPointers(DWORD code, EXCEPTION_POINTERS** out) {
    CONTEXT context = {};
    RtlCaptureContext(&context);
    void* const address = __builtin_return_address(0);
    // With the heap exhausted, the reserved record still gives the uploader
    // something to read.
    const SyntheticRecord blocks = AllocateSyntheticRecord();
    if (blocks.pointers)
        *out = FillSyntheticRecord(blocks, code, address, context);
    else
        *out = outOfMemoryRecord.pointers
                   ? FillSyntheticRecord(outOfMemoryRecord, code, address, context)
                   : nullptr;
}

namespace crash_hooks {

// The hooks repeat the same few lines on purpose: a synthetic record points
// at the return address into the hook that captured it, so each hook must
// call CaptureExceptionPointers itself, and stay a function of its own.

bool ReserveOutOfMemoryRecord() {
    if (!outOfMemoryRecord.pointers) outOfMemoryRecord = AllocateSyntheticRecord();
    return outOfMemoryRecord.pointers != nullptr;
}

void __cdecl PureCall() {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void OutOfMemory() {
    LaunchUploader(CaptureIntoReservedRecord());
    throw std::bad_alloc();
}

int __cdecl RuntimeOutOfMemory(size_t) {
    LaunchUploader(CaptureIntoReservedRecord());
    return 0;
}

void __cdecl InvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                              uintptr_t) {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl AbortSignal(int) {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl InterruptSignal(int) {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl TerminationSignal(int) {
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
    EXCEPTION_POINTERS* pointers = FaultRecordForSignal(SIGFPE, pair);
    if (!pointers) CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl IllegalInstructionSignal(int) {
    EXCEPTION_POINTERS* pointers = nullptr;
    CaptureExceptionPointers(0, &pointers);
    LaunchUploader(pointers);
}

void __cdecl SegmentationSignal(int) {
    EXCEPTION_POINTERS pair = {};
    EXCEPTION_POINTERS* pointers = FaultRecordForSignal(SIGSEGV, pair);
    if (!pointers) CaptureExceptionPointers(0, &pointers);
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
