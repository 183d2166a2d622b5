// Linux gives every thread its own nice value, reached with setpriority() on
// the thread id. Raising a thread above nice 0 needs CAP_SYS_NICE (or a
// RLIMIT_NICE allowance); without it the thread simply stays where it is.

#include "platform/ThreadPriority.h"

#include "platform/Win32Types.h"

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <utility>

namespace afp {

namespace {
// The seven Win32 steps and their nice values, spread over nice's 40 steps so
// that each is a clear change of the scheduler's share (about 10 % per nice
// step) while IDLE and TIME_CRITICAL reach the ends of the range.
constexpr std::array<std::pair<int, int>, 7> NiceTable{{
    {THREAD_PRIORITY_IDLE, 19},
    {THREAD_PRIORITY_LOWEST, 10},
    {THREAD_PRIORITY_BELOW_NORMAL, 5},
    {THREAD_PRIORITY_NORMAL, 0},
    {THREAD_PRIORITY_ABOVE_NORMAL, -5},
    {THREAD_PRIORITY_HIGHEST, -10},
    {THREAD_PRIORITY_TIME_CRITICAL, -20},
}};
}  // namespace

std::int64_t CurrentThreadId() { return ::gettid(); }

// Values off the Win32 scale take the nearest step (the steps are far enough
// apart that no whole number lies half-way between two of them).
int NiceValueFor(int win32Priority) {
    auto nearest = NiceTable.front();
    for (const auto& step : NiceTable)
        if (std::abs(win32Priority - step.first) < std::abs(win32Priority - nearest.first)) nearest = step;
    return nearest.second;
}

bool SetThreadPriority(std::int64_t threadId, int win32Priority) {
    if (threadId <= 0) return false;
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), NiceValueFor(win32Priority)) == 0;
}

}  // namespace afp
