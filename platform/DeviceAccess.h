#pragma once
// Whether this process is kept from a device by its permissions, and which
// group could use it: what the port chooser tells a user whose serial
// adapter is listed as busy only because the user may not open it (on Debian
// serial devices belong to root and the group "dialout", mode 0660).
//
// DeviceAccessDenied asks the kernel (stat, then access for reading and
// writing) with this process's real user and groups, as they are now: a user
// just added to a group keeps being refused until a new login. Root is never
// refused. DenialOf is the pure part, the facts drawn from stat's results.
//
// Plain functions for any thread; they raise nothing. They read the group
// database (getgrgid_r), which may ask a directory service. Where devices
// have no owner group and mode (Windows), nothing is ever denied this way.

#include <cstdint>
#include <optional>
#include <string>

namespace afp {

struct TDeviceDenial {
    std::string Group;         // the device's group: its name, or its number when the database has none
    bool GroupMayUse = false;  // that group may read and write the device, so joining it is the remedy
};

// The denial for a device with stat's st_gid and st_mode, given that access
// was refused.
TDeviceDenial DenialOf(std::uint32_t group, std::uint32_t mode);

// The denial when path (an absolute path, followed through links) names
// something that exists and this process may not both read and write
// (access fails with EACCES); nothing when it may, when it does not exist,
// when another error stands in the way, or for a name that is not an
// absolute path (a virtual device).
std::optional<TDeviceDenial> DeviceAccessDenied(const std::string& path);

}  // namespace afp
