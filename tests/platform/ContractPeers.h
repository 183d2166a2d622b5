#pragma once
// The devices the comm-device contract runs against, each with the far side
// of its cable (a TPeer), so each contract case is written once:
//  - the platform's own devices: a pty slave driven by the POSIX backend,
//    with the test holding the master; on Windows a system COM port whose
//    null-modem cable the machine lends (TestCables()), with the test driving
//    the other end as a device of its own;
//  - one end of a virtual null-modem pair, with the test holding the other;
//  - a network port (rfc2217://) whose server the test plays
//    (Rfc2217TestServer.h); holding the device's output is the server's
//    FLOWCONTROL-SUSPEND.

#include "platform/CommDevice.h"
#include "tests/platform/DeviceFixtures.h"

#include <memory>
#include <string>

namespace kalvaro::test {

// Bigger than what the line's buffers hold while the far side does not read,
// so a write of this size stays outstanding.
inline constexpr std::size_t StuckWriteSize = 1u << 20;

// The far side of the cable.
class TPeer {
public:
    virtual ~TPeer() = default;
    // Sends all of data to the device; false when that did not happen in time.
    virtual bool Write(const Bytes& data, milliseconds limit) = 0;
    // What came from the device, until count bytes came or limit passed.
    virtual Bytes Read(std::size_t count, milliseconds limit) = 0;
    // Whether the test can pull this cable.
    virtual bool CanHangUp() const { return true; }
    // Pulls the cable: the device under test is lost.
    virtual void HangUp() = 0;
    // While held, nothing the device writes leaves it. A pty holds it by the
    // master not reading, which keeps writes of StuckWriteSize outstanding.
    virtual void HoldDeviceOutput(bool held) = 0;
};

// A device under test and its peer.
class TCableUnderTest {
public:
    virtual ~TCableUnderTest() = default;
    // Empty when the device could not be opened, with the reason in Problem.
    std::unique_ptr<afp::TCommDevice> Device;
    std::unique_ptr<TPeer> Peer;
    std::string Problem;
    // Opens the device under test once more (the first must be closed).
    virtual std::unique_ptr<afp::TCommDevice> OpenAgain() const = 0;
    // A baud rate at which the cable moves bytes quickly.
    virtual DWORD FastBaud() const = 0;
};

// The platform's own device and its far side. Returns null, with the reason
// in skipReason, when the machine offers no such device to tests.
std::unique_ptr<TCableUnderTest> OpenNativeCable(std::string& skipReason);
// How test names call the platform's own device ("Pty", "ComPort").
const char* NativeBackendName();

// One end of a fresh virtual null-modem pair and its other end.
std::unique_ptr<TCableUnderTest> OpenVirtualCable();

// A network port on a fresh test server, and the server.
std::unique_ptr<TCableUnderTest> OpenNetworkCable();

}  // namespace kalvaro::test
