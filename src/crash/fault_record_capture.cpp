#include "crash/fault_record_capture.h"

#include <csignal>

#include "crash/stack_reserve.h"

// The linker's name for the start of this program's image.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// Process lifetime: the slots and the handler are never released.
DWORD recordSlot = TLS_OUT_OF_INDEXES;
DWORD contextSlot = TLS_OUT_OF_INDEXES;

int SignalForCode(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
            return SIGSEGV;
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case STATUS_FLOAT_MULTIPLE_FAULTS:
        case STATUS_FLOAT_MULTIPLE_TRAPS:
            return SIGFPE;
        default:
            return 0;
    }
}

LONG CALLBACK RememberFault(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord && SignalForCode(pointers->ExceptionRecord->ExceptionCode)) {
        // The faulting code may go on after a handled fault; it must find
        // its last error as it left it.
        const DWORD lastError = GetLastError();
        TlsSetValue(recordSlot, pointers->ExceptionRecord);
        TlsSetValue(contextSlot, pointers->ContextRecord);
        SetLastError(lastError);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// While a fault is being dispatched, its record and context lie on the
// faulting thread's stack above the frames of the handlers it calls. A
// record kept from a fault that was handled meanwhile fails this test or the
// code test unless its stack memory is still untouched.
bool IsPendingOnThisStack(const void* block, size_t size) {
    const NT_TIB* tib = ThreadInformationBlock();
    const auto here = reinterpret_cast<ULONG_PTR>(&tib);
    const auto start = reinterpret_cast<ULONG_PTR>(block);
    const auto base = reinterpret_cast<ULONG_PTR>(tib->StackBase);
    return start > here && start < base && size <= base - start;
}

// Whether `address` lies in this program's own image.
bool InThisImage(const void* address) {
    const auto base = reinterpret_cast<ULONG_PTR>(&__ImageBase);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    const auto at = reinterpret_cast<ULONG_PTR>(address);
    return at >= base && at - base < headers->OptionalHeader.SizeOfImage;
}

}  // namespace

void StartFaultRecordCapture() {
    if (recordSlot != TLS_OUT_OF_INDEXES) return;
    recordSlot = TlsAlloc();
    contextSlot = TlsAlloc();
    if (recordSlot == TLS_OUT_OF_INDEXES || contextSlot == TLS_OUT_OF_INDEXES) {
        recordSlot = contextSlot = TLS_OUT_OF_INDEXES;
        return;
    }
    AddVectoredExceptionHandler(1, RememberFault);
}

EXCEPTION_POINTERS* FaultRecordForSignal(int signal, EXCEPTION_POINTERS& pair, const void* caller) {
    if (auto* fromRuntime = static_cast<EXCEPTION_POINTERS*>(_pxcptinfoptrs)) return fromRuntime;
    if (recordSlot == TLS_OUT_OF_INDEXES) return nullptr;

    const DWORD lastError = GetLastError();
    auto* record = static_cast<EXCEPTION_RECORD*>(TlsGetValue(recordSlot));
    auto* context = static_cast<CONTEXT*>(TlsGetValue(contextSlot));
    TlsSetValue(recordSlot, nullptr);
    TlsSetValue(contextSlot, nullptr);
    SetLastError(lastError);

    if (!InThisImage(caller) || !record || !context ||
        !IsPendingOnThisStack(record, sizeof(*record)) ||
        !IsPendingOnThisStack(context, sizeof(*context)) ||
        SignalForCode(record->ExceptionCode) != signal)
        return nullptr;
    pair.ExceptionRecord = record;
    pair.ContextRecord = context;
    return &pair;
}
