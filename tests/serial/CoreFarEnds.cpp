// The port core's far ends on Linux: a virtual null-modem pair's other end, and
// a pty master.
#include "tests/serial/CoreFarEnds.h"

#include "tests/serial/CoreTestSupport.h"
#include "tests/serial/VirtualFarEnd.h"

namespace kalvaro::test {

namespace {

constexpr DWORD FastVirtualBaud = 921600;

}  // namespace

TVirtualFarEnd::TVirtualFarEnd() : pair_(FreshPairName("core")) { Peer(); }

TVirtualFarEnd::~TVirtualFarEnd() {
    peer_.reset();
    afp::virt::Plug(Device());
}

std::string TVirtualFarEnd::Device() const { return afp::virt::EndName(pair_, afp::virt::TEnd::A); }

std::string TVirtualFarEnd::PeerName() const { return afp::virt::EndName(pair_, afp::virt::TEnd::B); }

afp::TCommDevice& TVirtualFarEnd::Peer() {
    if (!peer_) {
        peer_ = afp::OpenVirtualCommDevice(PeerName());
        EXPECT_TRUE(peer_ && ApplyEngineSettings(*peer_, EngineDcb(FastVirtualBaud)));
    }
    return *peer_;
}

int TVirtualFarEnd::Attach() {
    MapPorts({{1, Device()}});
    return 1;
}

void TVirtualFarEnd::Write(const Bytes& data) {
    TOverlappedWrite write(Peer(), data);
    write.Start();
    EXPECT_TRUE(write.Finish());
}

Bytes TVirtualFarEnd::Read(std::size_t count, milliseconds limit) { return ReadFromDevice(Peer(), count, limit); }

void TVirtualFarEnd::HangUp() { afp::virt::Unplug(Device()); }

void TVirtualFarEnd::WiggleLines() {
    Peer().EscapeCommFunction(SETRTS);
    Peer().EscapeCommFunction(CLRRTS);
}

DWORD TVirtualFarEnd::FastBaud() const { return FastVirtualBaud; }

namespace {

class TPtyFarEnd final : public TFarEnd {
public:
    int Attach() override {
        MapPorts({{1, pty_.SlavePath()}});
        return 1;
    }
    void Write(const Bytes& data) override { pty_.Write(data); }
    Bytes Read(std::size_t count, milliseconds limit) override { return pty_.Read(count, limit); }
    void HangUp() override { pty_.CloseMaster(); }
    // Ptys do not pace; the settings only have to be accepted.
    DWORD FastBaud() const override { return FastVirtualBaud; }

private:
    TPtyPair pty_;
};

}  // namespace

std::vector<std::string> FarEndKinds() { return {"Virtual", "Pty"}; }

std::unique_ptr<TFarEnd> MakeFarEnd(const std::string& kind, std::string&) {
    if (kind == "Virtual") return std::make_unique<TVirtualFarEnd>();
    return std::make_unique<TPtyFarEnd>();
}

}  // namespace kalvaro::test
