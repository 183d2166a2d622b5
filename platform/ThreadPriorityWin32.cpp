// Windows has the seven thread priorities themselves; a thread is named by
// its thread id and reached through a handle opened for the change.

#include "platform/ThreadPriority.h"

#include "platform/Win32Types.h"

namespace afp {

std::int64_t CurrentThreadId() { return static_cast<std::int64_t>(GetCurrentThreadId()); }

bool SetThreadPriority(std::int64_t threadId, int win32Priority) {
    if (threadId <= 0) return false;
    HANDLE thread = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(threadId));
    if (!thread) return false;
    const bool applied = ::SetThreadPriority(thread, win32Priority) != FALSE;
    CloseHandle(thread);
    return applied;
}

}  // namespace afp
