// Which device stands behind COM<n> on Windows: the system decides, and lists
// its serial ports in the registry key HARDWARE\DEVICEMAP\SERIALCOMM
// ("\Device\Serial0" = "COM1", "\Device\VCP0" = "COM5"). The map only reads
// that list for the user's descriptions; opening never consults it.
// The settings file's [Ports] section and the Linux device tree play no part
// here, so TPortMapSources is not looked at.

#include "platform/PortMap.h"

#include "platform/Win32Types.h"

#include <algorithm>
#include <charconv>

namespace afp {

namespace {

// 1..255 for "COM1".."COM255"; 0 for anything else.
int ComNumberOf(std::string_view name) {
    if (name.size() < 4 || name.size() > 6 || name.substr(0, 3) != "COM" || name[3] == '0') return 0;
    int number = 0;
    const auto [end, error] = std::from_chars(name.data() + 3, name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size() || number > 255) return 0;
    return number;
}

std::vector<TPortEntry> SystemPorts() {
    std::vector<TPortEntry> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return entries;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameLength = sizeof name;
        DWORD dataLength = sizeof data - 1;
        DWORD type = 0;
        const LSTATUS status = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataLength);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        std::string port(reinterpret_cast<const char*>(data), dataLength);
        port.erase(std::find(port.begin(), port.end(), '\0'), port.end());
        if (const int number = ComNumberOf(port); number > 0)
            entries.push_back({number, port, std::string(name, nameLength)});
    }
    RegCloseKey(key);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.Number < b.Number; });
    return entries;
}

}  // namespace

TPortMap TPortMap::Load(const TPortMapSources&) { return LoadDefault(); }

TPortMapSources TPortMap::DefaultSources() { return {}; }

void TPortMap::SetDeviceTreeForTests(const std::string&, const std::string&) {}

int TPortMap::AddForThisRun(const std::string&) { return 0; }
void TPortMap::ForgetRunPorts() {}

TPortMap TPortMap::LoadDefault() {
    TPortMap map;
    map.entries_ = SystemPorts();
    return map;
}

std::optional<TPortEntry> TPortMap::Find(int number) const {
    for (const TPortEntry& entry : entries_)
        if (entry.Number == number) return entry;
    return std::nullopt;
}

}  // namespace afp
