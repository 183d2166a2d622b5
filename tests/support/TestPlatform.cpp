// The test environment's Linux side: counts from /proc, the settings folder
// through XDG_CONFIG_HOME, the lock folder through the platform layer.
#include "tests/support/TestEnvironment.h"

#include "platform/UucpLock.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace kalvaro::test {

namespace {
std::size_t CountEntries(const char* folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}
}  // namespace

std::size_t ThreadCount() {
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    return CountEntries("/proc/self/task");
}

std::size_t OpenFdCount() { return CountEntries("/proc/self/fd"); }

std::filesystem::path MakeIsolatedConfigHome() {
    char pattern[] = "/tmp/kalvaro-test-XXXXXX";
    if (!mkdtemp(pattern)) return {};
    setenv("XDG_CONFIG_HOME", pattern, 1);
    // The ports tests open leave their UUCP lock files here, not in the
    // machine's /var/lock.
    const std::filesystem::path locks = std::filesystem::path(pattern) / "locks";
    std::error_code error;
    if (!std::filesystem::create_directory(locks, error)) return {};
    afp::SetLockFolders({locks.string()});
    return pattern;
}

std::int64_t TestThreadId() { return ::gettid(); }

// The scheduler's state letter is 'S' for a thread asleep in a wait.
bool ThreadIsAsleep(std::int64_t threadId) {
    std::ifstream stat("/proc/self/task/" + std::to_string(threadId) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

bool RunningUnderWine() { return false; }

}  // namespace kalvaro::test
