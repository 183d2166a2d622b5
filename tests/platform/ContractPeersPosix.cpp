// The contract tests' own device on Linux: a pty slave, with the test holding
// the master as the far side of the cable.
#include "tests/platform/ContractPeers.h"

#include "platform/CommBackends.h"
#include "tests/support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kalvaro::test {

namespace {

class TPtyPeer : public TPeer {
public:
    explicit TPtyPeer(TPtyPair& pty) : pty_(pty) {
        fcntl(pty_.MasterFd(), F_SETFL, fcntl(pty_.MasterFd(), F_GETFL) | O_NONBLOCK);
    }

    bool Write(const Bytes& data, milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(pty_.MasterFd(), data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd pfd{pty_.MasterFd(), POLLOUT, 0};
            ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        }
        return true;
    }

    Bytes Read(std::size_t count, milliseconds limit) override { return pty_.Read(count, limit); }
    void HangUp() override { pty_.CloseMaster(); }
    void HoldDeviceOutput(bool) override {}

private:
    TPtyPair& pty_;
};

class TPtyCable : public TCableUnderTest {
public:
    TPtyCable() {
        Device = afp::OpenPosixCommDevice(pty_.SlavePath());
        if (!Device) {
            Problem = "opening " + pty_.SlavePath() + ": error " + std::to_string(afp::LastError());
            return;
        }
        Peer = std::make_unique<TPtyPeer>(pty_);
    }
    ~TPtyCable() override {
        // The pty goes last: the device and the peer use it.
        Device.reset();
        Peer.reset();
    }
    std::unique_ptr<afp::TCommDevice> OpenAgain() const override { return afp::OpenPosixCommDevice(pty_.SlavePath()); }
    // Ptys do not pace.
    DWORD FastBaud() const override { return 115200; }

private:
    TPtyPair pty_;
};

}  // namespace

std::unique_ptr<TCableUnderTest> OpenNativeCable(std::string&) { return std::make_unique<TPtyCable>(); }

const char* NativeBackendName() { return "Pty"; }

}  // namespace kalvaro::test
