#pragma once
// Kernel-style synchronisation objects for the serial engine: events that a
// thread can wait on, alone or several at once, with a time limit.
//
// Semantics follow Win32 events:
//  - a manual-reset event stays signalled until Reset();
//  - an auto-reset event is reset by the one wait that it releases;
//  - WaitForAny() looks at the events in list order and returns
//    WAIT_OBJECT_0 + index of the first signalled one (consuming it when it is
//    auto-reset), or WAIT_TIMEOUT when none became signalled in time.
// Waits block (on a condition variable, or on the kernel's own events on
// Windows); nothing spins.
//
// Thread rule: every member may be called from any thread at any time. An
// event must outlive every wait that names it.

#include "platform/KernelObjectsNative.h"
#include "platform/Win32Types.h"

#include <initializer_list>
#include <span>

namespace afp {

class TKernelEvent {
public:
    explicit TKernelEvent(bool manualReset, bool initiallySignalled = false);
    ~TKernelEvent();
    TKernelEvent(const TKernelEvent&) = delete;
    TKernelEvent& operator=(const TKernelEvent&) = delete;

    void Set();
    void Reset();
    // A snapshot, for diagnostics and tests; another thread may change it at once.
    bool IsSignalled() const;

    // The platform's own object (on Windows the event HANDLE, which the
    // kernel signals when an overlapped operation completes).
    TKernelEventState& State() { return state_; }

private:
    friend DWORD WaitForAny(std::span<TKernelEvent* const>, DWORD);
    TKernelEventState state_;
};

// Waits until one of the events is signalled or timeoutMs passes (INFINITE:
// no limit; 0: just look). Returns WAIT_OBJECT_0 + index or WAIT_TIMEOUT;
// WAIT_FAILED for an empty list or a null entry.
DWORD WaitForAny(std::span<TKernelEvent* const> events, DWORD timeoutMs);
inline DWORD WaitForAny(std::initializer_list<TKernelEvent*> events, DWORD timeoutMs) {
    return WaitForAny(std::span<TKernelEvent* const>(events.begin(), events.size()), timeoutMs);
}

// True when the event was signalled within timeoutMs.
inline bool WaitForEvent(TKernelEvent& event, DWORD timeoutMs) {
    TKernelEvent* one[] = {&event};
    return WaitForAny(one, timeoutMs) == WAIT_OBJECT_0;
}

// TRecursiveLock, the engine's critical section (re-entrant for the thread
// that holds it; lock, try_lock, unlock), comes with the platform's state in
// KernelObjectsNative.h.

}  // namespace afp
