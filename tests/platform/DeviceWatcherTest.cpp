// The device watcher on a device tree and a settings file of the test's own
// making: device nodes, by-id links and paths named in [Ports] coming and
// going are told, so are virtual ends plugged and unplugged, and a stopped
// watcher has no thread left and tells nothing more.
#include "platform/DeviceWatcher.h"

#include "platform/VirtualCommDevice.h"
#include "tests/platform/DeviceFixtures.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace kalvaro::test {
namespace {

namespace fs = std::filesystem;

class DeviceWatcherTest : public testing::Test {
protected:
    DeviceWatcherTest() { fs::create_directories(Dev()); }

    fs::path Root() const { return folder_.Path(); }
    fs::path Dev() const { return Root() / "dev"; }
    void Settings(const std::string& text) const { std::ofstream(Root() / "settings.ini") << text; }

    std::unique_ptr<afp::TDeviceWatcher> Start() {
        return afp::StartDeviceWatcher(
            [this] { ++Reports; }, {(Root() / "settings.ini").string(), (Root() / "class").string(), Dev().string()});
    }

    // Does change and waits for the watcher to tell of it; the watcher has
    // then watched its folders afresh.
    template <class Change>
    testing::AssertionResult Told(Change change) {
        const int before = Reports;
        change();
        if (WaitUntil([&] { return Reports > before; })) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "not told within " << ShortLimit.count() << " ms";
    }

    std::atomic<int> Reports{0};

private:
    TTempFolder folder_{"kalvaro-watch"};
};

void Touch(const fs::path& path) { std::ofstream(path) << ""; }

TEST_F(DeviceWatcherTest, NodesAndByIdLinksComingAndGoingAreTold) {
    const auto watcher = Start();
    ASSERT_TRUE(watcher);
    EXPECT_TRUE(Told([&] { Touch(Dev() / "ttyUSB0"); })) << "a node appearing";
    EXPECT_TRUE(Told([&] { fs::create_directories(Dev() / "serial" / "by-id"); })) << "the by-id folder";
    EXPECT_TRUE(Told([&] { fs::create_symlink("../../ttyUSB0", Dev() / "serial" / "by-id" / "usb-FTDI_A1-if00"); }))
        << "a by-id link appearing";
    EXPECT_TRUE(Told([&] { fs::remove(Dev() / "serial" / "by-id" / "usb-FTDI_A1-if00"); })) << "a by-id link going";
    EXPECT_TRUE(Told([&] { fs::remove(Dev() / "ttyUSB0"); })) << "a node going";
}

TEST_F(DeviceWatcherTest, APathNamedInPortsIsToldAlsoWhenItsFolderComesLater) {
    const fs::path link = Root() / "links" / "bench" / "port1";
    Settings("[Ports]\nScan=0\nCOM1=" + link.string() + "\nCOM2=virtual:demo/A\n");
    const auto watcher = Start();
    ASSERT_TRUE(watcher);
    EXPECT_TRUE(Told([&] { fs::create_directory(Root() / "links"); }));
    EXPECT_TRUE(Told([&] { fs::create_directory(Root() / "links" / "bench"); }));
    TPtyPair pty;
    EXPECT_TRUE(Told([&] { fs::create_symlink(pty.SlavePath(), link); })) << "the named link appearing";
    EXPECT_TRUE(Told([&] { fs::remove(link); })) << "the named link going";
}

TEST_F(DeviceWatcherTest, VirtualPluggingIsToldAndAStoppedWatcherLeavesNothingBehind) {
    const std::string end = afp::virt::EndName("watcher", afp::virt::TEnd::A);
    const std::size_t threadsBefore = ThreadCount();
    const std::size_t descriptorsBefore = OpenFdCount();
    auto watcher = Start();
    ASSERT_TRUE(watcher);
    EXPECT_TRUE(Told([&] { afp::virt::Unplug(end); }));
    EXPECT_TRUE(Told([&] { afp::virt::Plug(end); }));

    watcher.reset();
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(OpenFdCount(), descriptorsBefore);
    // Nothing wakes a stopped watcher any more.
    const int after = Reports;
    afp::virt::Unplug(end);
    afp::virt::Plug(end);
    Touch(Dev() / "ttyUSB1");
    EXPECT_EQ(Reports, after);
}

}  // namespace
}  // namespace kalvaro::test
