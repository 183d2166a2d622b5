#pragma once
// Which device stands behind COM<n> on this machine.
//
// The settings file may name devices in its section [Ports]:
//     COM1=/dev/ttyUSB0
//     COM2=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0
//     COM7=virtual:bench/A
//     Scan=0        (do not list the machine's serial devices; default 1)
//     DemoPair=0    (no built-in null-modem pair; default 1)
//     AutoReopen=0  (a port whose device is lost does not wait for it to
//                   come back; default 1; read by the windows at start)
// COM numbers run from 1 to 255; keys of other forms ("COM0", "COM01") and
// switch values other than 0/1, false/true, no/yes, off/on are ignored, and
// the first of two keys with one name counts.
// Named entries win. Numbers not named there go, lowest free first, to the
// machine's serial devices in this order: USB serial adapters (ttyUSB*),
// USB modems and CDC-ACM devices (ttyACM*), then other serial ports that have
// real hardware behind them (ttyS* only with a UART — a non-zero sysfs `type`
// —, ttyAMA*, ttymxc*, … only with a sysfs `device`); within each group by
// natural name order (ttyUSB2 before ttyUSB10). A ttyS without a UART, a
// device without its node in /dev, and a device a named entry already
// reaches (through any link) are never listed. Then the built-in null-modem
// pair takes the next two free numbers: "virtual:demo/A" and "virtual:demo/B"
// (an end the settings already name is not listed twice).
//
// Every entry carries a description for the user: the device path with the USB
// product (and maker, unless the product names it) where sysfs knows it
// ("/dev/ttyUSB0 — FT232R USB UART (FTDI)"); for a named entry its value, or
// "virtual null-modem, end A" for the demo pair, "virtual null-modem bench,
// end A" for another pair, "virtual loopback plug 1" for "virtual:loop/1".
//
// The map is rebuilt from the settings file and the device tree each time it
// is loaded; it holds no state of its own.
//
// On Windows the system names its ports itself: the map lists the ports the
// system knows (HARDWARE\DEVICEMAP\SERIALCOMM), each described by its
// driver's device name, and [Ports] is neither read nor offered
// (ParsePortsSection exists in POSIX builds only; AutoReopen is always on).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace afp {

struct TPortEntry {
    int Number = 0;           // 1 for COM1
    std::string Device;       // a path, or a virtual device name
    std::string Description;  // for the user
};

struct TPortMapSources {
    std::string SettingsFile;                    // full path of the INI file
    std::string SysClassTty = "/sys/class/tty";  // the device tree to scan
    std::string DevDir = "/dev";                 // where the device nodes are
};

class TPortMap {
public:
    static TPortMap Load(const TPortMapSources& sources);
    // The settings file c_28_zirk.ini in the config folder, and this machine.
    static TPortMap LoadDefault();
    // What LoadDefault loads from.
    static TPortMapSources DefaultSources();
    // Points DefaultSources' device tree at folders of a test's own making
    // (a fake sysfs and /dev); empty strings give this machine's back.
    static void SetDeviceTreeForTests(const std::string& sysClassTty, const std::string& devDir);

    // Gives device, which the map does not list, the lowest free COM number
    // for the rest of the run, as if [Ports] named it (the command line's
    // ports); returns that number, or 0 when none is free. On Windows, where
    // the system names the ports, it gives none.
    static int AddForThisRun(const std::string& device);
    // Forgets the numbers AddForThisRun gave (tests).
    static void ForgetRunPorts();

    std::optional<TPortEntry> Find(int number) const;
    const std::vector<TPortEntry>& Entries() const { return entries_; }  // by number
    // [Ports] AutoReopen: whether a lost device is waited for.
    bool AutoReopen() const { return autoReopen_; }

    // The [Ports] entries of an INI text: COM numbers with their devices, and
    // the two switches. Exposed for tests and fuzzing.
    struct TNamedPorts {
        std::vector<std::pair<int, std::string>> Named;
        bool Scan = true;
        bool DemoPair = true;
        bool AutoReopen = true;
    };
    static TNamedPorts ParsePortsSection(std::string_view iniText);

private:
    std::vector<TPortEntry> entries_;
    bool autoReopen_ = true;
};

}  // namespace afp
