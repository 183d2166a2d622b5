// The main of every test binary. Before any test runs it points the settings
// folder at a fresh temporary folder whose port map lists no device of this
// machine ([Ports] Scan=0, no demo pair), so no test can open a real serial
// port; tests add the ptys and virtual devices they need. (On Windows the
// system names its own ports: tests there open only the ports they are
// given, see TestCables().)
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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

std::vector<TCable> TestCables() {
    std::vector<TCable> cables;
    const char* variable = std::getenv("KALVARO_TEST_CABLES");
    std::string list = variable ? variable : "";
    list += ',';
    for (std::size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
        const std::string item = list.substr(start, comma - start);
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == item.size()) continue;
        cables.push_back({item.substr(0, colon), item.substr(colon + 1)});
    }
    return cables;
}

}  // namespace kalvaro::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    configHome = kalvaro::test::MakeIsolatedConfigHome();
    if (configHome.empty()) return 2;
    kalvaro::test::ResetSettings();
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(configHome, ignored);
    return result;
}
