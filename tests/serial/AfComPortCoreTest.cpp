// The port core on both kinds of device: the far end is the other end of a
// virtual null-modem pair, or the master of a pty pair.
#include "serial/AfComPortCore.h"

#include "tests/serial/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace kalvaro::test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD FastBaud = 921600;

// The far end of the cable, driven by the test.
class TFarEnd {
public:
    virtual ~TFarEnd() = default;
    virtual std::string Device() const = 0;
    virtual void Write(const Bytes& data) = 0;
    virtual Bytes Read(std::size_t count, milliseconds limit = ShortLimit) = 0;
    virtual void HangUp() = 0;
};

class TVirtualFarEnd final : public TFarEnd {
public:
    // The far end is open from the start: bytes sent to a closed end are lost.
    TVirtualFarEnd() : pair_(FreshPairName("core")) { Peer(); }
    ~TVirtualFarEnd() override {
        peer_.reset();
        afp::virt::Plug(Device());
    }
    std::string Device() const override { return afp::virt::EndName(pair_, afp::virt::TEnd::A); }
    std::string PeerName() const { return afp::virt::EndName(pair_, afp::virt::TEnd::B); }
    afp::TCommDevice& Peer() {
        if (!peer_) {
            peer_ = afp::OpenVirtualCommDevice(PeerName());
            EXPECT_TRUE(peer_ && ApplyEngineSettings(*peer_, EngineDcb(FastBaud)));
        }
        return *peer_;
    }
    void Write(const Bytes& data) override {
        TOverlappedWrite write(Peer(), data);
        write.Start();
        EXPECT_TRUE(write.Finish());
    }
    Bytes Read(std::size_t count, milliseconds limit) override { return ReadFromDevice(Peer(), count, limit); }
    void HangUp() override { afp::virt::Unplug(Device()); }

private:
    std::string pair_;
    std::unique_ptr<afp::TCommDevice> peer_;
};

class TPtyFarEnd final : public TFarEnd {
public:
    std::string Device() const override { return pty_.SlavePath(); }
    void Write(const Bytes& data) override { pty_.Write(data); }
    Bytes Read(std::size_t count, milliseconds limit) override { return pty_.Read(count, limit); }
    void HangUp() override { pty_.CloseMaster(); }

private:
    TPtyPair pty_;
};

enum class TBackend { Virtual, Pty };

class AfComPortCoreTest : public testing::TestWithParam<TBackend> {
protected:
    void SetUp() override {
        if (GetParam() == TBackend::Virtual)
            far_ = std::make_unique<TVirtualFarEnd>();
        else
            far_ = std::make_unique<TPtyFarEnd>();
        MapPorts({{1, far_->Device()}});
        log_.Attach(core_);
        core_.SetDcb(EngineDcb(FastBaud));
    }
    void TearDown() override {
        core_.CloseDevice();
        ResetSettings();
    }

    TAfComPortCore core_;
    TCoreEventLog log_;
    std::unique_ptr<TFarEnd> far_;
};

TEST_P(AfComPortCoreTest, OpensClosesAndGivesNothingWhileClosed) {
    auto expectNothing = [this] {
        const BYTE byte = 1;
        BYTE buffer[4];
        COMSTAT stat{1, 2, 3};
        EXPECT_FALSE(core_.QueueBytes(&byte, 1));
        EXPECT_EQ(core_.ReadBytes(buffer, 4), -1);
        core_.QueryComStat(stat);
        EXPECT_EQ(stat.cbInQue, 0u);
        EXPECT_EQ(stat.cbOutQue, 0u);
        EXPECT_EQ(core_.TakeLineErrors(), 0u);
        EXPECT_EQ(core_.ModemStatusBits(), 0u);
        EXPECT_FALSE(core_.SendEscape(SETRTS));
        EXPECT_EQ(core_.OutputSpace(), 0);
        EXPECT_EQ(core_.DeviceHandle(), nullptr);
    };
    expectNothing();

    ASSERT_TRUE(core_.OpenDevice(1));
    EXPECT_TRUE(core_.Opened());
    EXPECT_EQ(core_.DeviceName(), "COM1");
    EXPECT_EQ(core_.OutputSpace(), core_.OutQueueSize());
    EXPECT_NE(core_.DeviceHandle(), nullptr);
    EXPECT_FALSE(core_.OpenDevice(1));
    EXPECT_TRUE(core_.Opened());

    core_.CloseDevice();
    EXPECT_FALSE(core_.Opened());
    expectNothing();
    core_.CloseDevice();
    EXPECT_FALSE(core_.Opened());

    ASSERT_TRUE(core_.OpenDevice(1));
    EXPECT_TRUE(core_.Opened());
}

TEST_P(AfComPortCoreTest, ArrivingBytesAreAnnouncedUntilRead) {
    ASSERT_TRUE(core_.OpenDevice(1));
    BYTE buffer[16];
    EXPECT_EQ(core_.ReadBytes(buffer, sizeof buffer), 0);

    far_->Write(BytesOf("hello"));
    EXPECT_TRUE(log_.WaitFor(ckCommEvent, EV_RXCHAR));
    // Left unread, the bytes are announced again at every idle poll.
    EXPECT_TRUE(WaitUntil([&] { return log_.Count(ckDataWaiting) >= 2; }));
    for (const auto& event : log_.Events()) {
        if (event.Kind == ckDataWaiting) {
            EXPECT_GT(event.Data, 0u);
        }
    }

    Bytes received;
    WaitUntil([&] {
        const std::int32_t n = core_.ReadBytes(buffer, sizeof buffer);
        received.insert(received.end(), buffer, buffer + std::max(n, 0));
        return received.size() >= 5;
    });
    EXPECT_TRUE(SameBytes(BytesOf("hello"), received));
}

TEST_P(AfComPortCoreTest, QueuedBlocksGoOutWholeAndDrainOncePerBlock) {
    core_.SetOutQueueSize(16);
    ASSERT_TRUE(core_.OpenDevice(1));
    const Bytes first = PatternBytes(10, 1);
    const Bytes second = PatternBytes(10, 2);  // wraps past the end of the 16-byte ring
    EXPECT_FALSE(core_.QueueBytes(first.data(), 0));
    const Bytes tooMany = PatternBytes(17, 3);
    EXPECT_FALSE(core_.QueueBytes(tooMany.data(), 17));

    ASSERT_TRUE(core_.QueueBytes(first.data(), 10));
    ASSERT_TRUE(log_.WaitFor(ckOutputDrained));
    ASSERT_TRUE(core_.QueueBytes(second.data(), 10));
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(ckOutputDrained) == 2; }));

    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_TRUE(SameBytes(expected, far_->Read(20)));
    EXPECT_EQ(core_.OutputSpace(), 16);
    EXPECT_EQ(log_.Count(ckOutputDrained), 2u);
}

TEST_P(AfComPortCoreTest, LostDeviceIsReportedOnceAndTheThreadsStayIdle) {
    ASSERT_TRUE(core_.OpenDevice(1));
    far_->HangUp();
    ASSERT_TRUE(log_.WaitFor(ckDeviceLost));

    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.3) << "a worker spins after the loss";
    EXPECT_EQ(log_.Count(ckDeviceLost), 1u);

    const BYTE byte = 7;
    core_.QueueBytes(&byte, 1);
    core_.CloseDevice();
    EXPECT_FALSE(core_.Opened());
}

// Opening and closing under traffic in both directions, over and over: every
// close ends promptly and nothing is left behind.
TEST_P(AfComPortCoreTest, ThousandOpenCloseCyclesUnderTraffic) {
    const std::size_t threadsBefore = ThreadCount();
    const std::size_t fdsBefore = OpenFdCount();
    std::atomic<bool> stop{false};
    std::thread farTraffic([&] {
        const Bytes chunk = PatternBytes(256, 9);
        while (!stop) {
            if (GetParam() == TBackend::Virtual) {
                auto& far = static_cast<TVirtualFarEnd&>(*far_);
                far.Peer().EscapeCommFunction(SETRTS);
                far.Peer().EscapeCommFunction(CLRRTS);
            }
            far_->Write(chunk);
            far_->Read(4096, 1ms);
        }
    });

    std::mt19937 random(7);
    const Bytes out = PatternBytes(300, 5);
    BYTE buffer[512];
    milliseconds slowest{0};
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(core_.OpenDevice(1)) << "cycle " << cycle;
        core_.QueueBytes(out.data(), static_cast<std::int32_t>(out.size()));
        core_.ReadBytes(buffer, sizeof buffer);
        // Mostly quick cycles; every 50th lasts past an idle poll.
        std::this_thread::sleep_for(cycle % 50 == 0 ? 210ms : milliseconds(random() % 3));
        const auto start = std::chrono::steady_clock::now();
        core_.CloseDevice();
        slowest = std::max(slowest, std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start));
        ASSERT_FALSE(core_.Opened());
    }
    stop = true;
    farTraffic.join();
    EXPECT_LT(slowest, 2500ms);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

INSTANTIATE_TEST_SUITE_P(Backends, AfComPortCoreTest, testing::Values(TBackend::Virtual, TBackend::Pty),
                         [](const auto& info) { return info.param == TBackend::Virtual ? "Virtual" : "Pty"; });

// ---- cases that need the virtual cable's hooks ----

class AfComPortCoreVirtualTest : public testing::Test {
protected:
    void SetUp() override {
        MapPorts({{1, far_.Device()}});
        log_.Attach(core_);
        core_.SetDcb(EngineDcb(FastBaud));
    }
    void TearDown() override {
        core_.CloseDevice();
        for (auto op : {afp::virt::TRefusable::SetCommTimeouts, afp::virt::TRefusable::SetupComm,
                        afp::virt::TRefusable::SetCommMask, afp::virt::TRefusable::SetCommState})
            afp::virt::Refuse(far_.Device(), op, false);
        afp::virt::StallWrites(far_.Device(), false);
        ResetSettings();
    }
    std::string OpenError(std::int32_t number) {
        try {
            core_.OpenDevice(number);
        } catch (const EAfComPortCoreError& e) {
            return e.what();
        }
        return "(opened)";
    }
    // The end was released: someone else can open it now.
    bool EndIsFree() { return afp::OpenVirtualCommDevice(far_.Device()) != nullptr; }

    TAfComPortCore core_;
    TCoreEventLog log_;
    TVirtualFarEnd far_;
};

TEST_F(AfComPortCoreVirtualTest, OpenFailuresRaiseTheirMessagesAndLeaveThePortClosed) {
    EXPECT_EQ(OpenError(0), "Invalid port number (COM0)");
    EXPECT_EQ(OpenError(-3), "Invalid port number (COM-3)");
    EXPECT_EQ(OpenError(9), "Invalid port number (COM9)");  // no device behind COM9
    {
        auto holder = afp::OpenVirtualCommDevice(far_.Device());
        ASSERT_NE(holder, nullptr);
        EXPECT_EQ(OpenError(1), "Can't open device COM1");
    }
    const std::pair<afp::virt::TRefusable, const char*> refusals[] = {
        {afp::virt::TRefusable::SetCommTimeouts, "Error setting timeouts"},
        {afp::virt::TRefusable::SetupComm, "Error initializing buffers"},
        {afp::virt::TRefusable::SetCommMask, " Error setting EventMask"},
        {afp::virt::TRefusable::SetCommState, "Error setting parameters from DCB"},
    };
    const std::size_t threadsBefore = ThreadCount();
    for (const auto& [operation, message] : refusals) {
        afp::virt::Refuse(far_.Device(), operation, true);
        EXPECT_EQ(OpenError(1), message);
        afp::virt::Refuse(far_.Device(), operation, false);
        EXPECT_FALSE(core_.Opened());
        EXPECT_TRUE(EndIsFree()) << message;
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
    // The refused settings were replaced by what the device holds.
    EXPECT_NE(core_.Dcb().BaudRate, FastBaud);
    DCB deviceState{};
    auto device = afp::OpenVirtualCommDevice(far_.Device());
    ASSERT_TRUE(device && device->GetCommState(deviceState));
    EXPECT_EQ(core_.Dcb().BaudRate, deviceState.BaudRate);
}

TEST_F(AfComPortCoreVirtualTest, RefusedSettingsOnAnOpenPortKeepItOpenWithTheDevicesSettings) {
    ASSERT_TRUE(core_.OpenDevice(1));
    afp::virt::Refuse(far_.Device(), afp::virt::TRefusable::SetCommState, true);
    try {
        core_.SetDcb(EngineDcb(300));
        FAIL() << "no error";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Error setting parameters from DCB");
    }
    EXPECT_TRUE(core_.Opened());
    EXPECT_EQ(core_.Dcb().BaudRate, FastBaud);
}

TEST_F(AfComPortCoreVirtualTest, ModemLineChangesAndRingsArriveAsCommEvents) {
    ASSERT_TRUE(core_.OpenDevice(1));
    afp::TCommDevice& peer = far_.Peer();
    ASSERT_TRUE(WaitUntil([&] { return (core_.ModemStatusBits() & MS_CTS_ON) != 0; }));
    log_.Clear();

    peer.EscapeCommFunction(CLRRTS);
    EXPECT_TRUE(log_.WaitFor(ckCommEvent, EV_CTS));
    EXPECT_EQ(core_.ModemStatusBits() & MS_CTS_ON, 0u);
    peer.EscapeCommFunction(CLRDTR);
    EXPECT_TRUE(log_.WaitFor(ckCommEvent, EV_DSR));
    EXPECT_TRUE(log_.WaitFor(ckCommEvent, EV_RLSD));
    EXPECT_EQ(core_.ModemStatusBits() & (MS_DSR_ON | MS_RLSD_ON), 0u);
    afp::virt::Ring(far_.Device());
    EXPECT_TRUE(log_.WaitFor(ckCommEvent, EV_RING));

    // Our own lines reach the far end.
    EXPECT_TRUE(core_.SendEscape(CLRRTS));
    EXPECT_TRUE(WaitUntil([&] {
        DWORD status = 0;
        return peer.GetCommModemStatus(status) && (status & MS_CTS_ON) == 0;
    }));
}

TEST_F(AfComPortCoreVirtualTest, LineErrorsAreGatheredAndTakenOnce) {
    ASSERT_TRUE(core_.OpenDevice(1));
    afp::virt::InjectLineErrors(far_.Device(), CE_FRAME | CE_RXPARITY);
    ASSERT_TRUE(log_.WaitFor(ckCommEvent, EV_ERR));
    COMSTAT stat{};
    core_.QueryComStat(stat);
    EXPECT_EQ(core_.TakeLineErrors(), CE_FRAME | CE_RXPARITY);
    EXPECT_EQ(core_.TakeLineErrors(), 0u);
}

TEST_F(AfComPortCoreVirtualTest, HandlerExceptionArrivesAsThreadExceptionAndTheLoopGoesOn) {
    ASSERT_TRUE(core_.OpenDevice(1));
    log_.ThrowOnCommEvents(true);
    far_.Write(BytesOf("x"));
    ASSERT_TRUE(log_.WaitFor(ckThreadException));
    std::exception_ptr error;
    for (const auto& event : log_.Events())
        if (event.Kind == ckThreadException) error = event.Error;
    ASSERT_TRUE(error);
    try {
        std::rethrow_exception(error);
    } catch (const EAfSerialError& e) {
        EXPECT_STREQ(e.what(), "handler failed");
    }
    log_.ThrowOnCommEvents(false);
    log_.Clear();
    far_.Peer().EscapeCommFunction(CLRRTS);
    EXPECT_TRUE(log_.WaitFor(ckCommEvent, EV_CTS));
}

TEST_F(AfComPortCoreVirtualTest, OutputQueuedAtCloseIsNeverSent) {
    core_.SetDcb(EngineDcb(300));  // 30 characters a second
    ASSERT_TRUE(core_.OpenDevice(1));
    const Bytes block = PatternBytes(1000, 4);
    ASSERT_TRUE(core_.QueueBytes(block.data(), 1000));
    core_.CloseDevice();
    const Bytes arrived = far_.Read(1000, 1500ms);
    EXPECT_LT(arrived.size(), 100u);
}

TEST_F(AfComPortCoreVirtualTest, StalledWriteDoesNotHoldTheClose) {
    ASSERT_TRUE(core_.OpenDevice(1));
    afp::virt::StallWrites(far_.Device(), true);
    const Bytes block = PatternBytes(500, 6);
    ASSERT_TRUE(core_.QueueBytes(block.data(), 500));
    const auto start = std::chrono::steady_clock::now();
    core_.CloseDevice();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    afp::virt::StallWrites(far_.Device(), false);
    EXPECT_TRUE(far_.Read(500, 500ms).empty());
}

int NiceOfSomeThread(int wanted) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 19 && fields >> field; ++i)
            if (i == 19 && std::stoi(field) == wanted) return wanted;
    }
    return 0;
}

TEST_F(AfComPortCoreVirtualTest, QueueSizesWaitForTheNextOpenWhilePrioritiesApplyAtOnce) {
    ASSERT_TRUE(core_.OpenDevice(1));
    core_.SetOutQueueSize(100);
    EXPECT_EQ(core_.OutputSpace(), 4096);
    core_.SetEventPriority(tpIdle);
    EXPECT_EQ(NiceOfSomeThread(19), 19);
    core_.SetWritePriority(tpLowest);
    EXPECT_EQ(NiceOfSomeThread(10), 10);
    core_.CloseDevice();
    ASSERT_TRUE(core_.OpenDevice(1));
    EXPECT_EQ(core_.OutputSpace(), 100);
}

}  // namespace
}  // namespace kalvaro::test
