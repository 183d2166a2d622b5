// A device's identity on Linux: the node its path leads to, the by-id links
// that lead there too, and the USB serial number sysfs gives that node.
#include "platform/DeviceIdentity.h"
#include "platform/SysfsTty.h"

#include <sys/stat.h>

namespace afp {

namespace {

namespace fs = std::filesystem;

constexpr int MostLinks = 16;

bool InFolder(const fs::path& path, const fs::path& folder) {
    return (path.parent_path() / "").lexically_normal() == (folder / "").lexically_normal();
}

// The node a path leads to, its links followed one at a time: /dev/ttyUSB0
// behind /dev/serial/by-id/... or a udev rule's /dev/mylink. A link in the
// device folder that leads out of it is taken as the node itself: in a
// test's device tree the fake node stands for whatever is behind it.
fs::path NodeOf(const fs::path& path, const fs::path& devDir) {
    fs::path current = path.lexically_normal();
    for (int hop = 0; hop < MostLinks; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(current, error)) break;
        const fs::path target = fs::read_symlink(current, error);
        if (error) break;
        const fs::path next = (target.is_absolute() ? target : current.parent_path() / target).lexically_normal();
        if (InFolder(current, devDir) && !InFolder(next, devDir)) break;
        current = next;
    }
    return current;
}

std::string NodeStamp(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" + std::to_string(info.st_ctim.tv_sec) +
           "." + std::to_string(info.st_ctim.tv_nsec);
}

}  // namespace

TDeviceIdentity IdentifyDevice(const std::string& device, const TPortMapSources& sources) {
    TDeviceIdentity identity{device, {}, {}, {}};
    if (device.empty() || device.front() != '/') return identity;  // virtual
    const fs::path devDir = sources.DevDir;
    const fs::path node = NodeOf(device, devDir);
    identity.NodeStamp = NodeStamp(device);

    std::error_code error;
    fs::directory_iterator links(devDir / "serial" / "by-id", error);
    for (; !error && links != fs::directory_iterator(); links.increment(error))
        if (NodeOf(links->path(), devDir) == node) identity.ByIdNames.push_back(links->path().filename().string());

    if (InFolder(node, devDir)) {
        const fs::path usb = UsbDeviceFolder(fs::path(sources.SysClassTty) / node.filename());
        if (!usb.empty()) identity.UsbSerial = ReadSysfsAttribute(usb / "serial");
    }
    return identity;
}

}  // namespace afp
