// The virtual cable of the contract tests: the same on every platform.
#include "tests/platform/ContractPeers.h"

#include "platform/CommBackends.h"
#include "platform/VirtualCommDevice.h"
#include "tests/platform/Rfc2217TestServer.h"

#include <atomic>

namespace kalvaro::test {

namespace {

std::string UniquePairName() {
    static std::atomic<int> counter{0};
    return "contract" + std::to_string(counter++);
}

// The B end of the pair, opened as a device too. Its own lines stay off, so
// the device under test sees a quiet modem status.
class TVirtualPeer : public TPeer {
public:
    TVirtualPeer(std::string deviceName, std::unique_ptr<afp::TCommDevice> end)
        : deviceName_(std::move(deviceName)), end_(std::move(end)) {}
    ~TVirtualPeer() override {
        end_.reset();
        afp::virt::StallWrites(deviceName_, false);
        afp::virt::Plug(deviceName_);
    }

    static std::unique_ptr<TVirtualPeer> Open(const std::string& pair, DWORD baud) {
        auto end = afp::OpenVirtualCommDevice(afp::virt::EndName(pair, afp::virt::TEnd::B));
        if (!end) return nullptr;
        DCB dcb = EngineDcb(baud);
        SetDcbFlags(dcb, DCB_FBINARY);
        if (!ApplyEngineSettings(*end, dcb, EV_RXCHAR)) return nullptr;
        return std::make_unique<TVirtualPeer>(afp::virt::EndName(pair, afp::virt::TEnd::A), std::move(end));
    }

    bool Write(const Bytes& data, milliseconds limit) override {
        TOverlappedWrite write(*end_, data);
        if (!write.Start() && afp::LastError() != ERROR_IO_PENDING) return false;
        return write.Finish(limit) && write.Transferred() == data.size();
    }

    Bytes Read(std::size_t count, milliseconds limit) override { return ReadFromDevice(*end_, count, limit); }
    void HangUp() override { afp::virt::Unplug(deviceName_); }
    void HoldDeviceOutput(bool held) override { afp::virt::StallWrites(deviceName_, held); }

private:
    std::string deviceName_;  // the end under test
    std::unique_ptr<afp::TCommDevice> end_;
};

class TVirtualCable : public TCableUnderTest {
public:
    TVirtualCable() {
        const std::string pair = UniquePairName();
        name_ = afp::virt::EndName(pair, afp::virt::TEnd::A);
        Device = afp::OpenVirtualCommDevice(name_);
        if (!Device) {
            Problem = "opening " + name_ + ": error " + std::to_string(afp::LastError());
            return;
        }
        Peer = TVirtualPeer::Open(pair, FastBaud());
        if (!Peer) Problem = "opening the B end of " + pair + ": error " + std::to_string(afp::LastError());
    }
    std::unique_ptr<afp::TCommDevice> OpenAgain() const override { return afp::OpenVirtualCommDevice(name_); }
    // The virtual cable paces bytes at the baud rate, so tests run it fast.
    DWORD FastBaud() const override { return 12000000; }

private:
    std::string name_;
};

// The test server's side of a network port.
class TServerPeer : public TPeer {
public:
    explicit TServerPeer(TRfc2217TestServer& server) : server_(server) {}
    bool Write(const Bytes& data, milliseconds limit) override { return server_.Write(data, limit); }
    Bytes Read(std::size_t count, milliseconds limit) override { return server_.Read(count, limit); }
    void HangUp() override { server_.HangUp(); }
    void HoldDeviceOutput(bool held) override { server_.Suspend(held); }

private:
    TRfc2217TestServer& server_;
};

class TNetworkCable : public TCableUnderTest {
public:
    TNetworkCable() {
        if (!server_.Listening()) {
            Problem = "the test server found no port to listen on";
            return;
        }
        Device = afp::OpenNetworkCommDevice(server_.Address());
        if (!Device) {
            Problem = "opening " + server_.Address() + ": error " + std::to_string(afp::LastError());
            return;
        }
        Peer = std::make_unique<TServerPeer>(server_);
    }
    ~TNetworkCable() override {
        // The server goes last: the device and the peer use it.
        Device.reset();
        Peer.reset();
    }
    std::unique_ptr<afp::TCommDevice> OpenAgain() const override {
        // The server takes the next connection once it has seen the last one close.
        server_.WaitConnected(false);
        return afp::OpenNetworkCommDevice(server_.Address());
    }
    // The speed is only a setting the server answers.
    DWORD FastBaud() const override { return 115200; }

private:
    mutable TRfc2217TestServer server_;
};

}  // namespace

std::unique_ptr<TCableUnderTest> OpenVirtualCable() { return std::make_unique<TVirtualCable>(); }

std::unique_ptr<TCableUnderTest> OpenNetworkCable() { return std::make_unique<TNetworkCable>(); }

}  // namespace kalvaro::test
