#pragma once
// Inside the platform layer: the backends' entry points, used by
// OpenCommDevice() and ProbeCommDevice() once a name has been resolved.

#include "platform/CommDevice.h"

namespace afp {

// A tty device node (real serial port, USB adapter, pty slave). POSIX only.
std::unique_ptr<TCommDevice> OpenPosixCommDevice(const std::string& path);
DWORD ProbePosixCommDevice(const std::string& path);

// A Windows device ("COM1", "\\.\COM12"), opened as the system names it.
// Windows only.
std::unique_ptr<TCommDevice> OpenWin32CommDevice(const std::string& path);

// "virtual:<pair>/A", "virtual:<pair>/B" or "virtual:loop/<name>".
std::unique_ptr<TCommDevice> OpenVirtualCommDevice(const std::string& name);
DWORD ProbeVirtualCommDevice(const std::string& name);

// "rfc2217://host:port" or "tcp://host:port" (NetworkPort.h). Everywhere.
std::unique_ptr<TCommDevice> OpenNetworkCommDevice(const std::string& name);
DWORD ProbeNetworkCommDevice(const std::string& name);

inline constexpr const char* VirtualPrefix = "virtual:";

}  // namespace afp
