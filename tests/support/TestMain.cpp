// The main of every test binary. Before any test runs it points the settings
// folder at a fresh temporary folder whose port map lists no device of this
// machine ([Ports] Scan=0, no demo pair), so no test can open a real serial
// port; tests add the ptys and virtual devices they need.
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {
std::filesystem::path configHome;
}

namespace kalvaro::test {

std::filesystem::path ConfigHome() { return configHome; }

std::filesystem::path SettingsFile() { return configHome / "kalvaro" / "c_28_zirk.ini"; }

void WriteSettings(const std::string& text) {
    std::filesystem::create_directories(SettingsFile().parent_path());
    std::ofstream(SettingsFile(), std::ios::binary | std::ios::trunc) << text;
}

void ResetSettings() { WriteSettings("[Ports]\nScan=0\nDemoPair=0\n"); }

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

}  // namespace kalvaro::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    char pattern[] = "/tmp/kalvaro-test-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    configHome = pattern;
    setenv("XDG_CONFIG_HOME", pattern, 1);
    kalvaro::test::ResetSettings();
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(configHome, ignored);
    return result;
}
