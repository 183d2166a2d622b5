#pragma once
// Events on Windows are the kernel's own event objects, so an overlapped
// operation's record can name one for the kernel to signal; the recursive
// lock is a critical section.

#include "platform/Win32Types.h"

#include <mutex>  // std::lock_guard, for the lock's users

namespace afp {

struct TKernelEventState {
    TKernelEventState(bool manualReset, bool signalled);
    ~TKernelEventState();
    TKernelEventState(const TKernelEventState&) = delete;
    TKernelEventState& operator=(const TKernelEventState&) = delete;
    const bool ManualReset;
    const HANDLE Handle;
};

// Meets the standard's Lockable requirements, so std::lock_guard works.
class TRecursiveLock {
public:
    TRecursiveLock() { InitializeCriticalSection(&section_); }
    ~TRecursiveLock() { DeleteCriticalSection(&section_); }
    TRecursiveLock(const TRecursiveLock&) = delete;
    TRecursiveLock& operator=(const TRecursiveLock&) = delete;

    void lock() { EnterCriticalSection(&section_); }
    bool try_lock() { return TryEnterCriticalSection(&section_) != FALSE; }
    void unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

}  // namespace afp
