#pragma once
// The isolated settings folder every test binary runs with.

#include <filesystem>
#include <string>

namespace kalvaro::test {

// The folder XDG_CONFIG_HOME points at for this test binary.
std::filesystem::path ConfigHome();
// Its c_28_zirk.ini.
std::filesystem::path SettingsFile();
// Replaces the settings file with this text.
void WriteSettings(const std::string& text);
// Back to the start state: a port map without any device.
void ResetSettings();

// Threads and open descriptors of this process, for leak checks. The first
// call starts and joins a thread, so helper threads that a runtime starts on
// first use (a sanitizer's background thread) are already counted.
std::size_t ThreadCount();
std::size_t OpenFdCount();

}  // namespace kalvaro::test
