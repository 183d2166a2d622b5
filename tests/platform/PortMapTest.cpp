#include "platform/PortMap.h"

#include "platform/DeviceIdentity.h"

#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TraceCapture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace {

namespace fs = std::filesystem;
using afp::TPortEntry;
using afp::TPortMap;

// A machine of our own making: sys/class/tty entries with their attributes,
// sys/devices folders for the hardware behind them, dev/ nodes (empty files)
// and a settings file.
class FakeMachine {
public:
    FakeMachine() : folder_("kalvaro-portmap"), root_(folder_.Path()) {
        fs::create_directories(ClassTty());
        fs::create_directories(Dev());
    }

    fs::path ClassTty() const { return root_ / "sys" / "class" / "tty"; }
    fs::path Dev() const { return root_ / "dev"; }

    // A tty entry; type: the `type` attribute's text, if any; device: the
    // hardware folder its `device` link points to, if any.
    void AddTty(const std::string& name, const std::string& type = {}, const fs::path& device = {}, bool node = true) {
        fs::create_directories(ClassTty() / name);
        if (!type.empty()) Write(ClassTty() / name / "type", type + "\n");
        if (!device.empty()) {
            fs::create_directories(device);
            fs::create_directory_symlink(device, ClassTty() / name / "device");
        }
        if (node) Write(Dev() / name, "");
    }

    // A USB device with its strings, under a root hub that has its own;
    // returns the device's folder.
    fs::path UsbDevice(const std::string& bus, const std::string& product, const std::string& maker = {}) {
        const fs::path hub = root_ / "sys" / "devices" / "usb1";
        fs::create_directories(hub);
        Write(hub / "idVendor", "1d6b\n");
        Write(hub / "product", "xHCI Host Controller\n");
        const fs::path device = hub / bus;
        fs::create_directories(device);
        Write(device / "idVendor", "0403\n");
        if (!product.empty()) Write(device / "product", product + "\n");
        if (!maker.empty()) Write(device / "manufacturer", maker + "\n");
        return device;
    }
    fs::path PlatformDevice(const std::string& name) const { return root_ / "sys" / "devices" / "platform" / name; }

    void Settings(const std::string& text) { Write(root_ / "settings.ini", text); }

    afp::TPortMapSources Sources() const {
        return {(root_ / "settings.ini").string(), ClassTty().string(), Dev().string()};
    }
    TPortMap Load() const { return TPortMap::Load(Sources()); }
    std::string Node(const std::string& name) const { return (Dev() / name).string(); }

    static void Write(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

private:
    kalvaro::test::TTempFolder folder_;
    const fs::path root_;
};

std::vector<std::string> Devices(const TPortMap& map) {
    std::vector<std::string> devices;
    for (const TPortEntry& entry : map.Entries())
        devices.push_back("COM" + std::to_string(entry.Number) + "=" + entry.Device);
    return devices;
}

// ---- the scan ----------------------------------------------------------------------

TEST(PortMapScan, ListsRealSerialDevicesInGroupAndNaturalOrder) {
    FakeMachine machine;
    machine.Settings("[Ports]\nDemoPair=0\n");
    machine.AddTty("ttyUSB10");
    machine.AddTty("ttyUSB2");
    machine.AddTty("ttyACM0");
    machine.AddTty("ttyS0", "4", machine.PlatformDevice("serial8250"));
    machine.AddTty("ttyS1", "0", machine.PlatformDevice("serial8250"));  // no UART behind it
    machine.AddTty("ttyS2");                                             // type unknown
    machine.AddTty("ttyAMA0", {}, machine.PlatformDevice("uart-pl011"));
    machine.AddTty("ttymxc1");                 // no device behind it
    machine.AddTty("ttyUSB3", {}, {}, false);  // no node in dev
    machine.AddTty("tty0");
    machine.AddTty("tty12");
    machine.AddTty("console");
    machine.AddTty("ptmx");
    machine.AddTty("ttyprintk", {}, machine.PlatformDevice("printk"));

    EXPECT_EQ(Devices(machine.Load()),
              (std::vector<std::string>{"COM1=" + machine.Node("ttyUSB2"), "COM2=" + machine.Node("ttyUSB10"),
                                        "COM3=" + machine.Node("ttyACM0"), "COM4=" + machine.Node("ttyAMA0"),
                                        "COM5=" + machine.Node("ttyS0")}));
}

TEST(PortMapScan, DescriptionsShowTheUsbProductWhereSysfsKnowsIt) {
    FakeMachine machine;
    machine.Settings("[Ports]\nDemoPair=0\n");
    // usb-serial: port → interface → device; CDC-ACM: interface → device.
    const fs::path ftdi = machine.UsbDevice("1-1", "FT232R USB UART", "FTDI");
    machine.AddTty("ttyUSB0", {}, ftdi / "1-1:1.0" / "ttyUSB0");
    const fs::path arduino = machine.UsbDevice("1-2", "Arduino Uno", "Arduino");
    machine.AddTty("ttyACM0", {}, arduino / "1-2:1.0");
    const fs::path bare = machine.UsbDevice("1-3", "", "");  // no strings: not the hub's
    machine.AddTty("ttyUSB1", {}, bare / "1-3:1.0" / "ttyUSB1");
    machine.AddTty("ttyS0", "4", machine.PlatformDevice("serial8250"));

    const TPortMap map = machine.Load();
    ASSERT_EQ(map.Entries().size(), 4u);
    EXPECT_EQ(map.Find(1)->Description, machine.Node("ttyUSB0") + " \u2014 FT232R USB UART (FTDI)");
    EXPECT_EQ(map.Find(2)->Description, machine.Node("ttyUSB1"));
    EXPECT_EQ(map.Find(3)->Description, machine.Node("ttyACM0") + " \u2014 Arduino Uno");
    EXPECT_EQ(map.Find(4)->Description, machine.Node("ttyS0"));
    EXPECT_EQ(map.Find(5), std::nullopt);
    EXPECT_EQ(map.Find(0), std::nullopt);
}

// ---- named entries, numbering and the demo pair -------------------------------------------

TEST(PortMapNumbers, NamedEntriesWinAndTheirDevicesAreNotScannedAgain) {
    FakeMachine machine;
    machine.AddTty("ttyUSB0");
    machine.AddTty("ttyUSB1");
    fs::create_directories(machine.Dev() / "serial" / "by-id");
    const fs::path byId = machine.Dev() / "serial" / "by-id" / "usb-FTDI-port0";
    fs::create_symlink("../../ttyUSB0", byId);
    machine.Settings("[Ports]\nCOM1=" + byId.string() + "\nCOM3=virtual:bench/B\n");

    const TPortMap map = machine.Load();
    EXPECT_EQ(Devices(map),
              (std::vector<std::string>{"COM1=" + byId.string(), "COM2=" + machine.Node("ttyUSB1"),
                                        "COM3=virtual:bench/B", "COM4=virtual:demo/A", "COM5=virtual:demo/B"}));
    EXPECT_EQ(map.Find(1)->Description, byId.string());
    EXPECT_EQ(map.Find(3)->Description, "virtual null-modem bench, end B");
    EXPECT_EQ(map.Find(4)->Description, "virtual null-modem, end A");
    EXPECT_EQ(map.Find(5)->Description, "virtual null-modem, end B");
}

TEST(PortMapNumbers, TheTraceSaysWhyEachDeviceGotItsNumberOrNoneOncePerChange) {
    FakeMachine machine;
    machine.AddTty("ttyUSB0");
    machine.AddTty("ttyACM0");
    machine.AddTty("ttyS1", "0", machine.PlatformDevice("serial8250"));
    machine.Settings("[Ports]\nCOM2=" + machine.Node("ttyUSB0") + "\n");
    const kalvaro::test::TTraceAreas areas("platform");
    const std::string trace = kalvaro::test::StandardErrorOf([&] { machine.Load(); });
    for (const std::string& decision :
         {"COM2 is " + machine.Node("ttyUSB0") + ": named in [Ports]",
          machine.Node("ttyUSB0") + " skipped: [Ports] already names it",
          "COM1 is " + machine.Node("ttyACM0") + ": scanned, a USB modem or CDC-ACM device",
          std::string("ttyS1 skipped: no UART behind it (sysfs type \"0\")"),
          std::string("COM3 is virtual:demo/A: the demo pair")})
        EXPECT_THAT(trace, testing::HasSubstr("platform: port map: " + decision + "\n"));
    EXPECT_EQ(kalvaro::test::StandardErrorOf([&] { machine.Load(); }), "");
}

TEST(PortMapNumbers, FreeNumbersFillTheGapsFromComOneUpward) {
    FakeMachine machine;
    machine.AddTty("ttyACM0");
    machine.Settings("[Ports]\nCOM2=virtual:loop/1\nCOM5=/dev/null\n");
    const TPortMap map = machine.Load();
    EXPECT_EQ(Devices(map), (std::vector<std::string>{"COM1=" + machine.Node("ttyACM0"), "COM2=virtual:loop/1",
                                                      "COM3=virtual:demo/A", "COM4=virtual:demo/B", "COM5=/dev/null"}));
    EXPECT_EQ(map.Find(2)->Description, "virtual loopback plug 1");
    EXPECT_EQ(map.Find(5)->Description, "/dev/null");
}

TEST(PortMapNumbers, SwitchesTurnTheScanAndTheDemoPairOff) {
    FakeMachine machine;
    machine.AddTty("ttyUSB0");
    machine.Settings("[ports]\nscan=off\n");
    EXPECT_EQ(Devices(machine.Load()), (std::vector<std::string>{"COM1=virtual:demo/A", "COM2=virtual:demo/B"}));
    machine.Settings("[Ports]\nDemoPair=no\n");
    EXPECT_EQ(Devices(machine.Load()), (std::vector<std::string>{"COM1=" + machine.Node("ttyUSB0")}));
    machine.Settings("[Ports]\nScan=0\nDemoPair=false\n");
    EXPECT_TRUE(machine.Load().Entries().empty());
}

TEST(PortMapNumbers, ANewUserWithoutSettingsOrHardwareGetsTheDemoPair) {
    FakeMachine machine;  // no settings file, an empty device tree
    const TPortMap map = machine.Load();
    EXPECT_EQ(Devices(map), (std::vector<std::string>{"COM1=virtual:demo/A", "COM2=virtual:demo/B"}));

    afp::TPortMapSources nowhere = machine.Sources();
    nowhere.SysClassTty += "/missing";
    EXPECT_EQ(TPortMap::Load(nowhere).Entries().size(), 2u);
}

TEST(PortMapNumbers, ADemoEndNamedInTheSettingsIsNotListedTwice) {
    FakeMachine machine;
    machine.Settings("[Ports]\nCOM1=virtual:demo/B\nScan=0\n");
    const TPortMap map = machine.Load();
    EXPECT_EQ(Devices(map), (std::vector<std::string>{"COM1=virtual:demo/B", "COM2=virtual:demo/A"}));
    EXPECT_EQ(map.Find(1)->Description, "virtual null-modem, end B");
}

// ---- the [Ports] section --------------------------------------------------------------------

TEST(PortMapSettings, ParsePortsSectionKeepsValidEntriesAndIgnoresTheRest) {
    const char garbage[] = "\x00\xff\n=\nno equals\n";
    const std::string text = std::string("Scan=0\n") +
                             "[Other]\nCOM1=/dev/wrong\n"
                             "[ports]\n"
                             "com7 = \"/dev/ttyUSB0\" \n"
                             "COM2=/dev/first\n"
                             "Com2=/dev/second\n"
                             "COM0=/dev/zero\nCOM256=/dev/big\nCOM01=/dev/lead\nCOMx=/dev/x\nCOM-1=/dev/m\n"
                             "COM3=\n"
                             "COM255=virtual:loop/z\n"
                             "Scan=maybe\n"
                             "DemoPair = Off\n" +
                             std::string(garbage, sizeof garbage - 1) + "[PORTS]\nCOM9=/dev/later\nScan=0\n";
    const auto ports = TPortMap::ParsePortsSection(text);
    EXPECT_EQ(ports.Named, (std::vector<std::pair<int, std::string>>{
                               {2, "/dev/first"}, {7, "/dev/ttyUSB0"}, {255, "virtual:loop/z"}}));
    EXPECT_TRUE(ports.Scan);
    EXPECT_FALSE(ports.DemoPair);

    const auto empty = TPortMap::ParsePortsSection("");
    EXPECT_TRUE(empty.Named.empty());
    EXPECT_TRUE(empty.Scan);
    EXPECT_TRUE(empty.DemoPair);
    EXPECT_TRUE(empty.AutoReopen);
    EXPECT_FALSE(TPortMap::ParsePortsSection("[Ports]\nAutoReopen=0\n").AutoReopen);
    EXPECT_TRUE(TPortMap::ParsePortsSection("[Ports]\nAutoReopen=later\n").AutoReopen);
    EXPECT_FALSE(TPortMap::ParsePortsSection("[Ports]\nScan=FALSE\n").Scan);
    EXPECT_TRUE(TPortMap::ParsePortsSection("[Ports]\nScan=0\nScan=1\nDemoPair=yes\n").DemoPair);
}

// ---- this machine ------------------------------------------------------------------------------

// The test script runs the suites where this machine's serial ports are
// hidden (scripts/hide-serial-ports.sh), saying so with
// KALVARO_SERIAL_GUARD=1. Looks only: no device is opened.
TEST(PortMapMachine, TheMachinesSerialPortsAreOutOfTheTestsReach) {
    const char* guard = std::getenv("KALVARO_SERIAL_GUARD");
    if (!guard || std::string_view(guard) != "1") GTEST_SKIP() << "not run under scripts/hide-serial-ports.sh";
    kalvaro::test::WriteSettings("[Ports]\nScan=1\nDemoPair=0\n");
    const TPortMap map = TPortMap::LoadDefault();
    kalvaro::test::ResetSettings();
    EXPECT_TRUE(map.Entries().empty()) << "a scan of this machine lists " << map.Entries().front().Device;

    struct stat null {};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    for (const auto& entry : fs::directory_iterator("/dev")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyS", 0) != 0 && name.rfind("ttyUSB", 0) != 0 && name.rfind("ttyACM", 0) != 0) continue;
        struct stat node {};
        EXPECT_TRUE(::stat(entry.path().c_str(), &node) == 0 && node.st_rdev == null.st_rdev)
            << entry.path() << " is not /dev/null";
    }
}

TEST(PortMapSettings, LoadDefaultReadsTheIsolatedSettingsFile) {
    kalvaro::test::WriteSettings("[Ports]\nScan=0\nDemoPair=0\nCOM4=virtual:loop/x\nAutoReopen=off\n");
    const TPortMap map = TPortMap::LoadDefault();
    kalvaro::test::ResetSettings();
    EXPECT_EQ(Devices(map), (std::vector<std::string>{"COM4=virtual:loop/x"}));
    EXPECT_FALSE(map.AutoReopen());
    EXPECT_TRUE(TPortMap::LoadDefault().AutoReopen());
}

// ---- devices that come back ----------------------------------------------------------------

// A USB serial adapter with a serial number, plugged into the fake machine
// as tty on the USB device at bus (a folder of its own per bus).
void PlugAdapter(FakeMachine& machine, const std::string& tty, const std::string& bus, const std::string& serial) {
    const fs::path device = machine.UsbDevice(bus, "FT232R USB UART", "FTDI");
    FakeMachine::Write(device / "serial", serial + "\n");
    machine.AddTty(tty, {}, device / (bus + ":1.0") / tty);
}

void Unplug(FakeMachine& machine, const std::string& tty) {
    fs::remove_all(machine.ClassTty() / tty);
    fs::remove(machine.Dev() / tty);
}

// A node made anew, as a device plugged again gets: a new file takes the
// old one's place.
void RemakeNode(const fs::path& node) {
    FakeMachine::Write(node.string() + ".new", "");
    fs::rename(node.string() + ".new", node);
}

TEST(PortMapReturn, AnAdapterWithASerialNumberIsKnownByItWhereverItComesBack) {
    FakeMachine machine;
    machine.Settings("[Ports]\nDemoPair=0\n");
    PlugAdapter(machine, "ttyUSB0", "1-1", "A1B2C3");
    PlugAdapter(machine, "ttyUSB1", "1-2", "D4E5F6");
    const auto sources = machine.Sources();
    const afp::TDeviceIdentity lost = afp::IdentifyDevice(machine.Node("ttyUSB0"), sources);
    EXPECT_EQ(lost.UsbSerial, "A1B2C3");
    // A udev rule's name for it leads to the same adapter.
    fs::create_symlink("ttyUSB0", machine.Dev() / "bench-adapter");
    EXPECT_EQ(afp::IdentifyDevice(machine.Node("bench-adapter"), sources).UsbSerial, "A1B2C3");
    fs::remove(machine.Dev() / "bench-adapter");
    EXPECT_EQ(afp::FindReturnedDevice(lost, machine.Load(), sources), std::nullopt) << "the very node, still there";

    Unplug(machine, "ttyUSB0");
    EXPECT_EQ(afp::FindReturnedDevice(lost, machine.Load(), sources), std::nullopt);
    // Another adapter under the lost one's path is not the lost one.
    PlugAdapter(machine, "ttyUSB0", "1-3", "XYZ999");
    EXPECT_EQ(afp::FindReturnedDevice(lost, machine.Load(), sources), std::nullopt);
    // The lost one comes back as ttyUSB2, the third number.
    PlugAdapter(machine, "ttyUSB2", "1-1", "A1B2C3");
    EXPECT_EQ(afp::FindReturnedDevice(lost, machine.Load(), sources), 3);
}

TEST(PortMapReturn, WithoutASerialNumberThePathOrAByIdNameDecides) {
    FakeMachine machine;
    machine.Settings("[Ports]\nDemoPair=0\n");
    machine.AddTty("ttyACM0");
    machine.AddTty("ttyACM1");
    const fs::path byId = machine.Dev() / "serial" / "by-id";
    fs::create_directories(byId);
    fs::create_symlink("../../ttyACM0", byId / "usb-Arduino_Uno_75830-if00");
    const auto sources = machine.Sources();
    const afp::TDeviceIdentity lost = afp::IdentifyDevice(machine.Node("ttyACM0"), sources);
    EXPECT_EQ(lost.ByIdNames, std::vector<std::string>{"usb-Arduino_Uno_75830-if00"});
    EXPECT_EQ(lost.UsbSerial, "");
    EXPECT_EQ(afp::FindReturnedDevice(lost, machine.Load(), sources), std::nullopt) << "the very node, still there";

    // Back under the same path.
    RemakeNode(machine.Dev() / "ttyACM0");
    EXPECT_EQ(afp::FindReturnedDevice(lost, machine.Load(), sources), 1);

    // Back as ttyACM2, which its by-id name now leads to; ttyACM1 is another device.
    Unplug(machine, "ttyACM0");
    machine.AddTty("ttyACM2");
    fs::remove(byId / "usb-Arduino_Uno_75830-if00");
    fs::create_symlink("../../ttyACM2", byId / "usb-Arduino_Uno_75830-if00");
    EXPECT_EQ(afp::FindReturnedDevice(lost, machine.Load(), sources), 2);

    // A virtual end is its name.
    machine.Settings("[Ports]\nDemoPair=0\nScan=0\nCOM4=virtual:back/A\n");
    EXPECT_EQ(afp::FindReturnedDevice(afp::IdentifyDevice("virtual:back/A", sources), machine.Load(), sources), 4);
}

}  // namespace
