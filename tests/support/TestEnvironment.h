#pragma once
// The isolated settings folder every test binary runs with, and what tests
// need to know about the machine they run on.

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
