// Windows names a device by its port ("COM5") and keeps the name for an
// adapter that comes back; nothing more is looked up.
#include "platform/DeviceIdentity.h"

namespace afp {

TDeviceIdentity IdentifyDevice(const std::string& device, const TPortMapSources&) { return {device, {}, {}, {}}; }

}  // namespace afp
