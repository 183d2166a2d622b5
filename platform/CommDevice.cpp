#include "platform/CommDevice.h"

#include "platform/CommBackends.h"
#include "platform/NetworkPort.h"
#include "platform/PortMap.h"
#include "platform/Trace.h"

#include <charconv>
#include <optional>

namespace afp {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;

// The number of a "COM<n>" name, or 0 when the name is something else.
int ComNumberOf(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
    int number = 0;
    const char* first = name.data() + 3;
    const char* last = name.data() + name.size();
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last || number <= 0) return 0;
    return number;
}

bool IsVirtual(const std::string& device) { return device.rfind(VirtualPrefix, 0) == 0; }

// The device behind a name; nothing when there is none.
std::optional<std::string> DeviceOf(const std::string& name) {
    std::string device = name;
    if (const int number = ComNumberOf(name); number > 0) {
        const auto entry = TPortMap::LoadDefault().Find(number);
        if (!entry) {
            Trace(TTraceArea::Platform, name, ": not in the port map -> ", TWin32Error{ERROR_FILE_NOT_FOUND});
            return std::nullopt;
        }
        device = entry->Device;
        Trace(TTraceArea::Platform, name, " is ", device);
    }
    // Relative names would open files in whatever folder we run in.
    if (!IsVirtual(device) && !IsNetworkPortName(device) && (device.empty() || device.front() != '/')) {
        Trace(TTraceArea::Platform, "\"", device, "\": neither a full path nor a virtual device -> ",
              TWin32Error{ERROR_FILE_NOT_FOUND});
        return std::nullopt;
    }
    return device;
}

}  // namespace

DWORD LastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

std::unique_ptr<TCommDevice> OpenCommDevice(const std::string& name) {
    const auto device = DeviceOf(name);
    if (!device) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (IsNetworkPortName(*device)) return OpenNetworkCommDevice(*device);
    return IsVirtual(*device) ? OpenVirtualCommDevice(*device) : OpenPosixCommDevice(*device);
}

DWORD ProbeCommDevice(const std::string& name) {
    const auto device = DeviceOf(name);
    if (!device) return ERROR_FILE_NOT_FOUND;
    if (IsNetworkPortName(*device)) return ProbeNetworkCommDevice(*device);
    return IsVirtual(*device) ? ProbeVirtualCommDevice(*device) : ProbePosixCommDevice(*device);
}

}  // namespace afp
