#pragma once
// The far ends of the cables the port core's tests open it on, per platform:
// on Linux the other end of a virtual null-modem pair and the master of a pty
// pair, each reached by the core as COM1 through the isolated port map; on
// Windows the other end of a null-modem cable that the machine lends to tests
// (TestCables()), reached by the core through the system's own COM number.

#include "tests/platform/DeviceFixtures.h"

#include <memory>
#include <string>
#include <vector>

namespace kalvaro::test {

class TFarEnd {
public:
    virtual ~TFarEnd() = default;
    // Makes the device under test reachable as COM<n>, and returns n.
    virtual int Attach() = 0;
    virtual void Write(const Bytes& data) = 0;
    virtual Bytes Read(std::size_t count, milliseconds limit = ShortLimit) = 0;
    // Whether the test can pull this cable, and pulling it.
    virtual bool CanHangUp() const { return true; }
    virtual void HangUp() = 0;
    // Changes a modem line the device under test watches, where the far end can.
    virtual void WiggleLines() {}
    // A baud rate at which the cable moves bytes quickly.
    virtual DWORD FastBaud() const = 0;
};

// The kinds of far end this platform tests with ("Virtual", "Pty", "ComPort").
std::vector<std::string> FarEndKinds();
// A far end of that kind; null, with the reason in skipReason, when the
// machine offers none.
std::unique_ptr<TFarEnd> MakeFarEnd(const std::string& kind, std::string& skipReason);

}  // namespace kalvaro::test
