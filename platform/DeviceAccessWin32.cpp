// Windows devices have no owner group and mode: a port that cannot be opened
// is busy or gone, never kept from the user by a group, so nothing is denied
// this way and the port chooser gives no group hint.

#include "platform/DeviceAccess.h"

namespace afp {

TDeviceDenial DenialOf(std::uint32_t group, std::uint32_t mode) {
    // A POSIX mode's group read and write bits; no group database to name it by.
    constexpr std::uint32_t groupReadWrite = 0060;
    return {std::to_string(group), (mode & groupReadWrite) == groupReadWrite};
}

std::optional<TDeviceDenial> DeviceAccessDenied(const std::string&) { return std::nullopt; }

}  // namespace afp
