#pragma once
// The process's own CPU time: on a shared machine it tells more about a
// benchmark's cost than the wall clock. Any thread may call it.

#include <ctime>

namespace kalvaro::bench {

// CPU time of this process, all its threads, in seconds.
inline double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace kalvaro::bench
