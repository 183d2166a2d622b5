// Whether a device is refused for lack of permission: the group and the
// remedy drawn from its owner group and mode, and the kernel's answer for
// files given to another group, as a user without root sees them (this
// thread as nobody) — or, run without root, as the user's own files with
// the owner's rights taken away.
#include "platform/DeviceAccess.h"

#include "tests/platform/ThreadIdentity.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvaro::test {
namespace {

namespace fs = std::filesystem;
using afp::DenialOf;
using afp::DeviceAccessDenied;

constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

std::optional<gid_t> GroupNamed(const char* name) {
    const group* found = ::getgrnam(name);
    return found ? std::optional<gid_t>(found->gr_gid) : std::nullopt;
}

// A folder everyone may search, with files of chosen owners and modes.
class TDeviceFolder {
public:
    TDeviceFolder() : folder_("kalvaro-access"), root_(folder_.Path()) {
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }

    std::string Add(const std::string& name, mode_t mode, std::optional<gid_t> group = {}) const {
        const fs::path path = root_ / name;
        std::ofstream(path).put('x');
        if (group && ::chown(path.c_str(), static_cast<uid_t>(-1), *group) != 0)
            throw std::runtime_error("chown failed: " + path.string());
        if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod failed: " + path.string());
        return path;
    }
    std::string Link(const std::string& name, const std::string& target) const {
        fs::create_symlink(target, root_ / name);
        return root_ / name;
    }
    const fs::path& Root() const { return root_; }

private:
    kalvaro::test::TTempFolder folder_;
    const fs::path root_;
};

TEST(DeviceAccessTest, DenialNamesTheGroupAndWhetherItMayReadAndWrite) {
    const auto root = DenialOf(0, S_IFCHR | 0660);
    EXPECT_EQ(root.Group, "root");
    EXPECT_TRUE(root.GroupMayUse);
    EXPECT_FALSE(DenialOf(0, S_IFCHR | 0640).GroupMayUse);
    EXPECT_FALSE(DenialOf(0, S_IFCHR | 0620).GroupMayUse);
    EXPECT_FALSE(DenialOf(0, S_IFCHR | 0606).GroupMayUse);
    EXPECT_TRUE(DenialOf(0, S_IFCHR | 0060).GroupMayUse);

    // A group the database does not know goes by its number.
    gid_t unknown = 3999999000;
    while (::getgrgid(unknown)) ++unknown;
    EXPECT_EQ(DenialOf(unknown, 0660).Group, std::to_string(unknown));
}

TEST(DeviceAccessTest, NamesThatAreNoPathsOrThatDoNotExistAreNeverDenied) {
    const TDeviceFolder folder;
    EXPECT_EQ(DeviceAccessDenied(""), std::nullopt);
    EXPECT_EQ(DeviceAccessDenied("virtual:demo/A"), std::nullopt);
    EXPECT_EQ(DeviceAccessDenied((folder.Root() / "ttyUSB9").string()), std::nullopt);
    EXPECT_EQ(DeviceAccessDenied(folder.Link("dangling", (folder.Root() / "gone").string())), std::nullopt);
}

TEST(DeviceAccessTest, AnotherGroupsDeviceIsDeniedToAUserOutsideIt) {
    if (!TThreadIdentity::Available()) GTEST_SKIP() << "acting as another user needs root";
    const auto dialout = GroupNamed("dialout");
    if (!dialout) GTEST_SKIP() << "this machine has no group dialout";
    const TDeviceFolder folder;
    const std::string adapter = folder.Add("ttyUSB0", 0660, *dialout);
    const std::string byId = folder.Link("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", adapter);
    const std::string console = folder.Add("console", 0600, 0);
    const std::string open = folder.Add("ptmx", 0666, 0);
    const std::string readOnly = folder.Add("readonly", 0664, 0);
    const std::string hidden = (folder.Root() / "private" / "ttyS1").string();
    fs::create_directory(folder.Root() / "private");
    fs::permissions(folder.Root() / "private", fs::perms::owner_all);
    folder.Add("private/ttyS1", 0666, 0);

    // Root may use them all.
    EXPECT_EQ(DeviceAccessDenied(adapter), std::nullopt);
    EXPECT_EQ(DeviceAccessDenied(console), std::nullopt);

    const TThreadIdentity nobody(Nobody, NoGroup);
    const auto denied = DeviceAccessDenied(adapter);
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->Group, "dialout");
    EXPECT_TRUE(denied->GroupMayUse);
    const auto throughLink = DeviceAccessDenied(byId);
    ASSERT_TRUE(throughLink);
    EXPECT_EQ(throughLink->Group, "dialout");

    const auto rootOnly = DeviceAccessDenied(console);
    ASSERT_TRUE(rootOnly);
    EXPECT_EQ(rootOnly->Group, "root");
    EXPECT_FALSE(rootOnly->GroupMayUse);

    EXPECT_EQ(DeviceAccessDenied(open), std::nullopt);
    // Reading alone is not enough for a serial port.
    EXPECT_TRUE(DeviceAccessDenied(readOnly));
    // Behind a folder this user may not search, nothing can be said.
    EXPECT_EQ(DeviceAccessDenied(hidden), std::nullopt);
}

TEST(DeviceAccessTest, OwnDeviceWithoutTheOwnersRightsIsDenied) {
    if (TThreadIdentity::Available()) GTEST_SKIP() << "root may use any file";
    const TDeviceFolder folder;
    const std::string groupOnly = folder.Add("ttyACM0", 0060);
    const auto denied = DeviceAccessDenied(groupOnly);
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->Group, DenialOf(::getegid(), 0).Group);
    EXPECT_TRUE(denied->GroupMayUse);
    EXPECT_EQ(DeviceAccessDenied(folder.Add("ttyACM1", 0600)), std::nullopt);
}

}  // namespace
}  // namespace kalvaro::test
