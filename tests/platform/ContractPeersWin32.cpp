// The contract tests' own device on Windows: a system COM port whose
// null-modem cable the machine lends (KALVARO_TEST_CABLES), with the test
// driving the cable's other end as a device of its own. No test can pull
// such a cable, and holding the device's output is the far end not reading:
// the cable's buffers then fill and the device's writes stay outstanding.
#include "tests/platform/ContractPeers.h"

#include "platform/CommBackends.h"
#include "tests/support/TestEnvironment.h"

namespace kalvaro::test {

namespace {

class TComPortPeer : public TPeer {
public:
    explicit TComPortPeer(std::unique_ptr<afp::TCommDevice> end) : end_(std::move(end)) {}

    bool Write(const Bytes& data, milliseconds limit) override {
        TOverlappedWrite write(*end_, data);
        if (!write.Start() && afp::LastError() != ERROR_IO_PENDING) return false;
        return write.Finish(limit) && write.Transferred() == data.size();
    }
    Bytes Read(std::size_t count, milliseconds limit) override { return ReadFromDevice(*end_, count, limit); }
    bool CanHangUp() const override { return false; }
    void HangUp() override {}
    void HoldDeviceOutput(bool) override {}

private:
    std::unique_ptr<afp::TCommDevice> end_;
};

class TComPortCable : public TCableUnderTest {
public:
    explicit TComPortCable(TCable cable) : cable_(std::move(cable)) {
        // The peer first: its lines go off before the device looks at them.
        auto end = afp::OpenWin32CommDevice(cable_.Peer);
        if (!end) {
            Problem = "opening " + cable_.Peer + ": error " + std::to_string(afp::LastError());
            return;
        }
        DCB dcb = EngineDcb(FastBaud());
        SetDcbFlags(dcb, DCB_FBINARY);
        if (const auto applied = ApplyEngineSettings(*end, dcb, EV_RXCHAR); !applied) {
            Problem = cable_.Peer + ": " + applied.message();
            return;
        }
        // Whatever an earlier test left on the line is not this test's.
        end->PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR);
        Peer = std::make_unique<TComPortPeer>(std::move(end));
        Device = afp::OpenWin32CommDevice(cable_.Device);
        if (!Device)
            Problem = "opening " + cable_.Device + ": error " + std::to_string(afp::LastError());
        else
            Device->PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    std::unique_ptr<afp::TCommDevice> OpenAgain() const override { return afp::OpenWin32CommDevice(cable_.Device); }
    DWORD FastBaud() const override { return 115200; }

private:
    TCable cable_;
};

}  // namespace

std::unique_ptr<TCableUnderTest> OpenNativeCable(std::string& skipReason) {
    const auto cables = TestCables();
    if (cables.empty()) {
        skipReason = "no null-modem cable lent to tests (KALVARO_TEST_CABLES=COMa:COMb)";
        return nullptr;
    }
    return std::make_unique<TComPortCable>(cables.front());
}

const char* NativeBackendName() { return "ComPort"; }

}  // namespace kalvaro::test
