// Kernel objects on Windows: each TKernelEvent is a Win32 event object and
// WaitForAny is WaitForMultipleObjects, whose "wait for any" already has the
// semantics the engine relies on (the lowest signalled index wins and only
// that event is consumed).

#include "platform/KernelObjects.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace afp {

namespace {

// NtQueryEvent reads an event's state without consuming it; WaitForSingleObject
// would reset an auto-reset event.
struct TEventBasicInformation {
    int EventType;
    LONG EventState;
};
using TNtQueryEvent = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

TNtQueryEvent NtQueryEventFunction() {
    static const TNtQueryEvent function = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll ? reinterpret_cast<TNtQueryEvent>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryEvent")))
                     : nullptr;
    }();
    return function;
}

}  // namespace

TKernelEventState::TKernelEventState(bool manualReset, bool signalled)
    : ManualReset(manualReset), Handle(CreateEventW(nullptr, manualReset, signalled, nullptr)) {
    // Without its event the engine cannot run at all; there is nothing
    // sensible to go on with (the same as running out of memory).
    if (!Handle) std::abort();
}

TKernelEventState::~TKernelEventState() { CloseHandle(Handle); }

TKernelEvent::TKernelEvent(bool manualReset, bool initiallySignalled) : state_(manualReset, initiallySignalled) {}

TKernelEvent::~TKernelEvent() = default;

void TKernelEvent::Set() { SetEvent(state_.Handle); }

void TKernelEvent::Reset() { ResetEvent(state_.Handle); }

bool TKernelEvent::IsSignalled() const {
    if (const TNtQueryEvent query = NtQueryEventFunction()) {
        TEventBasicInformation information{};
        if (query(state_.Handle, 0, &information, sizeof information, nullptr) >= 0) return information.EventState != 0;
    }
    if (state_.ManualReset) return WaitForSingleObject(state_.Handle, 0) == WAIT_OBJECT_0;
    // Looking consumes an auto-reset event: give the signal back.
    if (WaitForSingleObject(state_.Handle, 0) != WAIT_OBJECT_0) return false;
    SetEvent(state_.Handle);
    return true;
}

DWORD WaitForAny(std::span<TKernelEvent* const> events, DWORD timeoutMs) {
    if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS ||
        std::find(events.begin(), events.end(), nullptr) != events.end())
        return WAIT_FAILED;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (std::size_t i = 0; i < events.size(); ++i) handles[i] = events[i]->state_.Handle;
    const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(events.size()), handles, FALSE, timeoutMs);
    if (result < WAIT_OBJECT_0 + events.size() || result == WAIT_TIMEOUT) return result;
    return WAIT_FAILED;
}

}  // namespace afp
