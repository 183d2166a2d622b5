#include "platform/PortMap.h"

#include "platform/CommBackends.h"
#include "platform/NetworkPort.h"
#include "platform/Profile.h"
#include "platform/SysfsTty.h"
#include "platform/Trace.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <mutex>
#include <set>

#include <sys/stat.h>

namespace afp {

namespace {

constexpr int HighestComNumber = 255;
constexpr std::string_view DemoPair = "demo";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (IsLetter(x) ? (x | 0x20) : x) == (IsLetter(y) ? (y | 0x20) : y);
           });
}

bool AllDigits(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit); }

// 1..255 for "COM1".."COM255" in any letter case; 0 for anything else,
// including leading zeros ("COM01"), so that one number has one spelling.
int ComNumberOf(std::string_view key) {
    if (key.size() < 4 || key.size() > 6 || !EqualNoCase(key.substr(0, 3), "com")) return 0;
    const std::string_view digits = key.substr(3);
    if (!AllDigits(digits) || digits.front() == '0') return 0;
    const int number = std::stoi(std::string(digits));
    return number <= HighestComNumber ? number : 0;
}

std::optional<bool> SwitchValue(std::string_view value) {
    for (std::string_view yes : {"1", "true", "yes", "on"})
        if (EqualNoCase(value, yes)) return true;
    for (std::string_view no : {"0", "false", "no", "off"})
        if (EqualNoCase(value, no)) return false;
    return std::nullopt;
}

bool Exists(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Why each device got its number or was left out, for the trace. Every open
// and every probe of a number loads the map, and the port chooser probes
// each number in turn: a load's decisions are traced only when they differ
// from the last traced ones.
class TDecisions {
public:
    TDecisions() : on_(TraceOn(TTraceArea::Platform)) {}

    template <class... Parts>
    void Note(const Parts&... parts) {
        if (on_) lines_.push_back(TraceText(parts...));
    }

    void Publish() {
        if (!on_) return;
        static std::mutex lock;
        static std::vector<std::string> last;  // guarded by lock
        std::lock_guard guard(lock);
        if (lines_ == last) return;
        for (const std::string& line : lines_) Trace(TTraceArea::Platform, "port map: ", line);
        last = std::move(lines_);
    }

private:
    const bool on_;
    std::vector<std::string> lines_;
};

// ---- descriptions --------------------------------------------------------------

// "virtual:<pair>/A" → ("<pair>", "A"); "virtual:loop/<plug>" → ("loop", "<plug>").
std::optional<std::pair<std::string_view, std::string_view>> SplitVirtual(std::string_view device) {
    const std::string_view prefix = VirtualPrefix;
    if (!device.starts_with(prefix)) return std::nullopt;
    device.remove_prefix(prefix.size());
    const std::size_t slash = device.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == device.size()) return std::nullopt;
    return std::pair{device.substr(0, slash), device.substr(slash + 1)};
}

std::string NamedDescription(const std::string& device) {
    if (IsNetworkPortName(device)) return NetworkPortDescription(device);
    const auto parts = SplitVirtual(device);
    if (!parts) return device;
    const auto [pair, end] = *parts;
    if (pair == "loop") return "virtual loopback plug " + std::string(end);
    if (end != "A" && end != "B") return device;
    if (pair == DemoPair) return "virtual null-modem, end " + std::string(end);
    return "virtual null-modem " + std::string(pair) + ", end " + std::string(end);
}

// The USB product (and maker) of a tty's device, from the USB device it
// stands on.
std::string UsbProduct(const std::filesystem::path& ttyEntry) {
    const std::filesystem::path folder = UsbDeviceFolder(ttyEntry);
    if (folder.empty()) return {};
    std::string product = ReadSysfsAttribute(folder / "product");
    std::string maker = ReadSysfsAttribute(folder / "manufacturer");
    if (product.empty()) return maker;
    if (maker.empty() || product.find(maker) != std::string::npos) return product;
    return product + " (" + maker + ")";
}

// ---- the device scan -----------------------------------------------------------

enum class TGroup { Usb, Acm, Other };

struct TFound {
    TGroup Group;
    std::string Name;
};

// Which group a /sys/class/tty entry belongs to, or nothing when it is not a
// serial port with hardware behind it. Names are "tty" + letters + number;
// tty<n> (virtual consoles), console, ptmx, ttyprintk and the like never are.
std::optional<TGroup> GroupOf(const std::filesystem::path& entry, std::string_view name, TDecisions& decisions) {
    if (!name.starts_with("tty")) return std::nullopt;
    const std::string_view rest = name.substr(3);
    const auto digits = std::find_if(rest.begin(), rest.end(), IsDigit) - rest.begin();
    const std::string_view kind = rest.substr(0, static_cast<std::size_t>(digits));
    if (kind.empty() || !std::all_of(kind.begin(), kind.end(), IsLetter) || !AllDigits(rest.substr(kind.size())))
        return std::nullopt;
    if (kind == "USB") return TGroup::Usb;
    if (kind == "ACM") return TGroup::Acm;
    if (kind == "S") {
        // The 8250 driver registers ttyS ports whether or not a UART answers;
        // `type` is 0 (PORT_UNKNOWN) for those phantoms.
        const std::string type = ReadSysfsAttribute(entry / "type");
        if (!AllDigits(type) || type.find_first_not_of('0') == std::string::npos) {
            decisions.Note(name, " skipped: no UART behind it (sysfs type \"", type, "\")");
            return std::nullopt;
        }
        return TGroup::Other;
    }
    // Platform UARTs (ttyAMA, ttymxc, ttySAC, ttyO, ttyHS, ttyTHS, ttyLP …) are
    // hardware when a device stands behind them; legacy pty slaves do not.
    if (!Exists(entry / "device")) return std::nullopt;
    return TGroup::Other;
}

// ttyUSB2 before ttyUSB10: digit runs compare by value.
bool NaturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && IsDigit(a[endA])) ++endA;
            while (endB < b.size() && IsDigit(b[endB])) ++endB;
            std::string_view runA = a.substr(i, endA - i), runB = b.substr(j, endB - j);
            while (runA.size() > 1 && runA.front() == '0') runA.remove_prefix(1);
            while (runB.size() > 1 && runB.front() == '0') runB.remove_prefix(1);
            if (runA.size() != runB.size()) return runA.size() < runB.size();
            if (runA != runB) return runA < runB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

// Why the scan listed a device.
const char* ScanReason(TGroup group) {
    switch (group) {
        case TGroup::Usb: return "scanned, a USB serial adapter";
        case TGroup::Acm: return "scanned, a USB modem or CDC-ACM device";
        case TGroup::Other: return "scanned, a serial port with hardware behind it";
    }
    return "";
}

std::vector<TFound> ScanDevices(const TPortMapSources& sources, TDecisions& decisions) {
    std::vector<TFound> found;
    std::error_code error;
    std::filesystem::directory_iterator listing(sources.SysClassTty, error);
    for (; !error && listing != std::filesystem::directory_iterator(); listing.increment(error)) {
        const std::string name = listing->path().filename().string();
        const auto group = GroupOf(listing->path(), name, decisions);
        if (!group) continue;
        // A device without its node cannot be opened; do not offer it.
        if (Exists(std::filesystem::path(sources.DevDir) / name))
            found.push_back({*group, name});
        else
            decisions.Note(name, " skipped: no node in ", sources.DevDir);
    }
    if (error) decisions.Note("scan of ", sources.SysClassTty, " failed: ", error.message());
    std::sort(found.begin(), found.end(), [](const TFound& a, const TFound& b) {
        if (a.Group != b.Group) return a.Group < b.Group;
        return NaturalLess(a.Name, b.Name);
    });
    return found;
}

// The file a device path stands for, so that a named by-id link and the
// scanned node it points to count as one device. Virtual names stay as
// they are.
std::string Resolved(const std::string& device) {
    if (device.empty() || device.front() != '/') return device;
    std::error_code error;
    const auto canonical = std::filesystem::canonical(device, error);
    return error ? device : canonical.string();
}

}  // namespace

TPortMap::TNamedPorts TPortMap::ParsePortsSection(std::string_view iniText) {
    TNamedPorts ports;
    for (const auto& [key, value] : ProfileSectionKeys(iniText, "Ports")) {
        if (const int number = ComNumberOf(key); number > 0) {
            if (!value.empty()) ports.Named.emplace_back(number, value);
        } else if (EqualNoCase(key, "Scan")) {
            ports.Scan = SwitchValue(value).value_or(ports.Scan);
        } else if (EqualNoCase(key, "DemoPair")) {
            ports.DemoPair = SwitchValue(value).value_or(ports.DemoPair);
        } else if (EqualNoCase(key, "AutoReopen")) {
            ports.AutoReopen = SwitchValue(value).value_or(ports.AutoReopen);
        }
    }
    std::sort(ports.Named.begin(), ports.Named.end());
    return ports;
}

namespace {
std::mutex runPortsLock;
std::vector<std::pair<int, std::string>> runPorts;  // guarded by runPortsLock; AddForThisRun's
}  // namespace

int TPortMap::AddForThisRun(const std::string& device) {
    const TPortMap map = LoadDefault();
    std::lock_guard guard(runPortsLock);
    for (int number = 1; number <= HighestComNumber; ++number) {
        if (map.Find(number)) continue;
        runPorts.emplace_back(number, device);
        return number;
    }
    return 0;
}

void TPortMap::ForgetRunPorts() {
    std::lock_guard guard(runPortsLock);
    runPorts.clear();
}

TPortMap TPortMap::Load(const TPortMapSources& sources) {
    TNamedPorts named = ParsePortsSection(ProfileText(sources.SettingsFile));
    {
        // A number taken for the run is named in [Ports] for the run.
        std::lock_guard guard(runPortsLock);
        for (const auto& runPort : runPorts)
            if (std::none_of(named.Named.begin(), named.Named.end(),
                             [&](const auto& entry) { return entry.first == runPort.first; }))
                named.Named.push_back(runPort);
    }

    TPortMap map;
    map.autoReopen_ = named.AutoReopen;
    TDecisions decisions;
    std::array<bool, HighestComNumber + 1> taken{};
    std::set<std::string> namedDevices;
    for (const auto& [number, device] : named.Named) {
        map.entries_.push_back({number, device, NamedDescription(device)});
        taken[static_cast<std::size_t>(number)] = true;
        namedDevices.insert(Resolved(device));
        decisions.Note("COM", number, " is ", device, ": named in [Ports]");
    }

    int candidate = 1;
    auto nextFree = [&]() -> int {
        while (candidate <= HighestComNumber && taken[static_cast<std::size_t>(candidate)]) ++candidate;
        if (candidate > HighestComNumber) return 0;
        taken[static_cast<std::size_t>(candidate)] = true;
        return candidate;
    };
    auto add = [&](const std::string& device, std::string description, const char* why) {
        if (namedDevices.contains(Resolved(device))) {
            decisions.Note(device, " skipped: [Ports] already names it");
            return;
        }
        if (const int number = nextFree(); number > 0) {
            map.entries_.push_back({number, device, std::move(description)});
            decisions.Note("COM", number, " is ", device, ": ", why);
        } else {
            decisions.Note(device, " skipped: no COM number left");
        }
    };

    if (!named.Scan) decisions.Note("no scan: [Ports] Scan is off");
    if (named.Scan) {
        for (const TFound& found : ScanDevices(sources, decisions)) {
            const std::string device = sources.DevDir + "/" + found.Name;
            std::string description = device;
            if (const std::string product = UsbProduct(std::filesystem::path(sources.SysClassTty) / found.Name);
                !product.empty())
                description += " \u2014 " + product;
            add(device, std::move(description), ScanReason(found.Group));
        }
    }
    if (!named.DemoPair) decisions.Note("no demo pair: [Ports] DemoPair is off");
    if (named.DemoPair) {
        for (const char* end : {"A", "B"}) {
            const std::string device = std::string(VirtualPrefix) + std::string(DemoPair) + "/" + end;
            add(device, NamedDescription(device), "the demo pair");
        }
    }
    decisions.Publish();

    std::sort(map.entries_.begin(), map.entries_.end(),
              [](const TPortEntry& a, const TPortEntry& b) { return a.Number < b.Number; });
    return map;
}

namespace {
std::mutex deviceTreeLock;
TPortMapSources deviceTree;  // guarded by deviceTreeLock; SettingsFile unused
}  // namespace

TPortMapSources TPortMap::DefaultSources() {
    TPortMapSources sources;
    {
        std::lock_guard guard(deviceTreeLock);
        sources = deviceTree;
    }
    sources.SettingsFile = ProfilePath("c_28_zirk.ini");
    return sources;
}

void TPortMap::SetDeviceTreeForTests(const std::string& sysClassTty, const std::string& devDir) {
    const TPortMapSources machine;
    std::lock_guard guard(deviceTreeLock);
    deviceTree.SysClassTty = sysClassTty.empty() ? machine.SysClassTty : sysClassTty;
    deviceTree.DevDir = devDir.empty() ? machine.DevDir : devDir;
}

TPortMap TPortMap::LoadDefault() { return Load(DefaultSources()); }

std::optional<TPortEntry> TPortMap::Find(int number) const {
    for (const TPortEntry& entry : entries_)
        if (entry.Number == number) return entry;
    return std::nullopt;
}

}  // namespace afp
