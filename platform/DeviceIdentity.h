#pragma once
// Who a serial device is, so that a port whose device was lost can tell the
// same device when it comes back: under the same path, under the same
// /dev/serial/by-id name, or — for a USB adapter — with the same USB serial
// number wherever it appears (ttyUSB0 may come back as ttyUSB1, and so
// under another COM number).
//
// When the lost device had a USB serial number, only a device with that
// number counts as the same one; another adapter plugged in under the lost
// one's path is not. Without a number, the path or a by-id name decides.
//
// The USB serial number is sysfs' `serial` attribute of the USB device the
// tty stands on, the attribute udev makes ID_SERIAL_SHORT from; reading
// sysfs keeps it testable on a device tree of a test's own making
// (TPortMapSources). On Windows a device is its system name ("COM5").

#include "platform/PortMap.h"

#include <optional>
#include <string>
#include <vector>

namespace afp {

struct TDeviceIdentity {
    std::string Device;                  // the port map's device: a path or a virtual name
    std::vector<std::string> ByIdNames;  // the names in <DevDir>/serial/by-id that lead to it
    std::string UsbSerial;               // empty when it has none (ptys, built-in UARTs, virtual ends)
    // The device file it led to when identified, as the file system tells
    // one file from another (device, inode, change time); empty when there
    // was none. A node still carrying this stamp has not gone away.
    std::string NodeStamp;
};

// What the machine tells about device (a port map entry's device) now.
TDeviceIdentity IdentifyDevice(const std::string& device, const TPortMapSources& sources);

// Whether found is the device that lost was (the rules above).
bool SameDevice(const TDeviceIdentity& lost, const TDeviceIdentity& found);

// The COM number of the map entry where the lost device stands again: the
// same device, and not the very node that was lost. Whether the device can
// be opened there is the caller's to find out (a named entry is listed
// whether its path exists or not).
std::optional<int> FindReturnedDevice(const TDeviceIdentity& lost, const TPortMap& map, const TPortMapSources& sources);

}  // namespace afp
