#pragma once
// What Linux's sysfs tells about a tty: its attributes and the USB device
// its hardware belongs to. Shared by the port map (descriptions) and the
// device identity (serial numbers). POSIX only.

#include <filesystem>
#include <string>

namespace afp {

// A sysfs attribute's first line, trimmed, with control characters made
// blanks; empty when unreadable.
std::string ReadSysfsAttribute(const std::filesystem::path& path);

// The folder of the USB device (the one with `idVendor`) that a tty entry
// (/sys/class/tty/<name>) stands on: two levels above a usb-serial port
// (port → interface → device), one above an ACM interface. The walk stops at
// the nearest such folder, so a device never borrows its hub's strings;
// four levels bound it for ttys that are not on USB at all (empty then).
std::filesystem::path UsbDeviceFolder(const std::filesystem::path& ttyEntry);

}  // namespace afp
