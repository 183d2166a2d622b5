#pragma once
// Thread priorities on the Win32 scale (THREAD_PRIORITY_IDLE … _TIME_CRITICAL)
// applied to a thread. On Windows they are passed through; on Linux they
// become per-thread nice values, best effort: a priority the process may not
// take (raising it without the privilege) leaves the thread as it is,
// silently.

#include <cstdint>

namespace afp {

// An identifier of the calling thread that SetThreadPriority accepts.
std::int64_t CurrentThreadId();

// win32Priority: -15, -2, -1, 0, 1, 2 or 15. Returns whether it was applied.
bool SetThreadPriority(std::int64_t threadId, int win32Priority);

// The nice value a Win32 priority maps to (exposed for tests; POSIX builds
// only, Windows takes the priorities as they are).
int NiceValueFor(int win32Priority);

}  // namespace afp
