#include "platform/DeviceIdentity.h"

#include <algorithm>

namespace afp {

bool SameDevice(const TDeviceIdentity& lost, const TDeviceIdentity& found) {
    if (!lost.UsbSerial.empty()) return found.UsbSerial == lost.UsbSerial;
    if (found.Device == lost.Device) return true;
    return std::any_of(lost.ByIdNames.begin(), lost.ByIdNames.end(), [&](const std::string& name) {
        return std::find(found.ByIdNames.begin(), found.ByIdNames.end(), name) != found.ByIdNames.end();
    });
}

std::optional<int> FindReturnedDevice(const TDeviceIdentity& lost, const TPortMap& map,
                                      const TPortMapSources& sources) {
    for (const TPortEntry& entry : map.Entries()) {
        const TDeviceIdentity found = IdentifyDevice(entry.Device, sources);
        if (!SameDevice(lost, found)) continue;
        if (!lost.NodeStamp.empty() && found.NodeStamp == lost.NodeStamp) continue;
        return entry.Number;
    }
    return std::nullopt;
}

}  // namespace afp
