#pragma once
// Events on POSIX: a flag and the waiters to wake, all guarded by one
// process-wide lock (KernelObjects.cpp).

#include <mutex>
#include <vector>

namespace afp {

struct TWaiter;

struct TKernelEventState {
    TKernelEventState(bool manualReset, bool signalled) : ManualReset(manualReset), Signalled(signalled) {}
    const bool ManualReset;
    bool Signalled;                 // guarded by the process-wide kernel lock
    std::vector<TWaiter*> Waiters;  // guarded by the process-wide kernel lock
};

using TRecursiveLock = std::recursive_mutex;

}  // namespace afp
