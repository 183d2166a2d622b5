#pragma once
// The isolated settings folder every test binary runs with, and what tests
// need to know about the machine they run on.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kalvaro::test {

// The folder XDG_CONFIG_HOME points at for this test binary.
std::filesystem::path ConfigHome();
// Its c_28_zirk.ini.
std::filesystem::path SettingsFile();
// Replaces the settings file with this text.
void WriteSettings(const std::string& text);
// Back to the start state: a port map without any device.
void ResetSettings();

// Threads and open descriptors (handles on Windows) of this process, for
// leak checks. The first call starts and joins a thread, so helper threads
// that a runtime starts on first use (a sanitizer's background thread) are
// already counted.
std::size_t ThreadCount();
std::size_t OpenFdCount();

// The calling thread's id, for ThreadIsAsleep.
std::int64_t TestThreadId();
// Whether that thread of this process is blocked in a wait at this moment.
bool ThreadIsAsleep(std::int64_t threadId);

// Creates a fresh temporary folder and makes it the settings folder (on
// Linux through XDG_CONFIG_HOME, with its folder "locks" as the only folder
// for serial lock files); empty on failure. Called once, by main.
std::filesystem::path MakeIsolatedConfigHome();

// Fails the running test with message and ends the test program at once. For
// a call that never came back or an operation that could not be ended: the
// thread stuck in it, or the buffer a device may still write to, cannot be
// taken back, so nothing after it could be trusted.
[[noreturn]] void EndStuckRun(const std::string& message);

// A limit for one call that ends what is outstanding on a device and waits
// for it (a purge, a mask change, a close): should the call not have come
// back when limit has passed, EndStuckRun names it. Every test has such a
// limit of its own too (TestMain.cpp), so a wait nobody bounded still ends
// the run with its test's name, long before the program's limit.
class TCallLimit {
public:
    TCallLimit(std::chrono::milliseconds limit, std::string what);
    ~TCallLimit();
    TCallLimit(const TCallLimit&) = delete;
    TCallLimit& operator=(const TCallLimit&) = delete;

private:
    std::uint64_t id_;
};

// True when this Windows program runs under Wine rather than Windows.
bool RunningUnderWine();

// The null-modem cables the machine lends to tests, as system port names of
// their two ends: KALVARO_TEST_CABLES="COM1:COM2,COM3:COM4". Tests open no
// other system port. Empty when none are lent.
struct TCable {
    std::string Device;  // the end under test
    std::string Peer;    // the end the test drives
};
std::vector<TCable> TestCables();

}  // namespace kalvaro::test
