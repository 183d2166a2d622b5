// The port core's far end on Windows: the other end of a null-modem cable the
// machine lends to tests, driven as a device of its own. No test can pull
// such a cable.
#include "tests/serial/CoreFarEnds.h"

#include "platform/CommBackends.h"
#include "tests/support/TestEnvironment.h"

#include <charconv>

namespace kalvaro::test {

namespace {

class TComPortFarEnd final : public TFarEnd {
public:
    // The far end is open from the start, so what it is sent is its own.
    explicit TComPortFarEnd(TCable cable) : cable_(std::move(cable)) { Peer(); }

    int Attach() override {
        const std::string& name = cable_.Device;
        int number = 0;
        if (name.size() > 3 && name.compare(0, 3, "COM") == 0)
            std::from_chars(name.data() + 3, name.data() + name.size(), number);
        EXPECT_GT(number, 0) << "the cable's end under test is no COM<n> name: " << name;
        return number;
    }
    void Write(const Bytes& data) override {
        TOverlappedWrite write(Peer(), data);
        write.Start();
        EXPECT_TRUE(write.Finish()) << "error " << afp::LastError()
                                    << (write.WatchdogFired() ? ", not done in time" : "");
    }
    Bytes Read(std::size_t count, milliseconds limit) override { return ReadFromDevice(Peer(), count, limit); }
    bool CanHangUp() const override { return false; }
    void HangUp() override {}
    void WiggleLines() override {
        Peer().EscapeCommFunction(SETRTS);
        Peer().EscapeCommFunction(CLRRTS);
    }
    DWORD FastBaud() const override { return 115200; }

private:
    afp::TCommDevice& Peer() {
        if (!peer_) {
            peer_ = afp::OpenWin32CommDevice(cable_.Peer);
            EXPECT_TRUE(peer_) << cable_.Peer << ": error " << afp::LastError();
            EXPECT_TRUE(peer_ && ApplyEngineSettings(*peer_, EngineDcb(FastBaud())));
            if (peer_) peer_->PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR);
        }
        return *peer_;
    }

    TCable cable_;
    std::unique_ptr<afp::TCommDevice> peer_;
};

}  // namespace

std::vector<std::string> FarEndKinds() { return {"ComPort"}; }

std::unique_ptr<TFarEnd> MakeFarEnd(const std::string&, std::string& skipReason) {
    const auto cables = TestCables();
    if (cables.empty()) {
        skipReason = "no null-modem cable lent to tests (KALVARO_TEST_CABLES=COMa:COMb)";
        return nullptr;
    }
    return std::make_unique<TComPortFarEnd>(cables.front());
}

}  // namespace kalvaro::test
