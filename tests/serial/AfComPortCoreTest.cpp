// The port core on the platform's own cables (CoreFarEnds.h): on Linux the
// far end is the other end of a virtual null-modem pair or the master of a pty
// pair; on Windows the other end of a lent null-modem cable.
#include "serial/AfComPortCore.h"

#include "tests/serial/CoreFarEnds.h"
#include "tests/serial/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

namespace kalvaro::test {
namespace {

using namespace std::chrono_literals;

class AfComPortCoreTest : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        std::string skipReason;
        far_ = MakeFarEnd(GetParam(), skipReason);
        if (!far_) GTEST_SKIP() << skipReason;
        port_ = far_->Attach();
        log_.Attach(core_);
        core_.SetDcb(EngineDcb(far_->FastBaud()));
    }
    void TearDown() override {
        core_.CloseDevice();
        ResetSettings();
    }

    TAfComPortCore core_;
    TCoreEventLog log_;
    std::unique_ptr<TFarEnd> far_;
    int port_ = 0;
};

TEST_P(AfComPortCoreTest, OpensClosesAndGivesNothingWhileClosed) {
    auto expectNothing = [this] {
        const BYTE byte = 1;
        BYTE buffer[4];
        COMSTAT stat{};
        stat.cbInQue = 2;
        stat.cbOutQue = 3;
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

    ASSERT_TRUE(core_.OpenDevice(port_));
    EXPECT_TRUE(core_.Opened());
    EXPECT_EQ(core_.DeviceName(), "COM" + std::to_string(port_));
    EXPECT_EQ(core_.OutputSpace(), core_.OutQueueSize());
    EXPECT_NE(core_.DeviceHandle(), nullptr);
    EXPECT_FALSE(core_.OpenDevice(port_));
    EXPECT_TRUE(core_.Opened());

    core_.CloseDevice();
    EXPECT_FALSE(core_.Opened());
    expectNothing();
    core_.CloseDevice();
    EXPECT_FALSE(core_.Opened());

    ASSERT_TRUE(core_.OpenDevice(port_));
    EXPECT_TRUE(core_.Opened());
}

TEST_P(AfComPortCoreTest, ArrivingBytesAreAnnouncedUntilRead) {
    ASSERT_TRUE(core_.OpenDevice(port_));
    BYTE buffer[16];
    EXPECT_EQ(core_.ReadBytes(buffer, sizeof buffer), 0);
    // Past an idle poll that found nothing waiting: the event thread then
    // waits for the next event alone, which the bytes must still end.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log_.Count(ckDataWaiting), 0u);

    far_->Write(BytesOf("hello"));
    EXPECT_TRUE(log_.WaitFor(ckCommEvent, EV_RXCHAR));
    // Left unread, the bytes are announced again at every idle poll.
    const bool idlePolls = !RunningUnderWine();
    if (idlePolls) {
        EXPECT_TRUE(WaitUntil([&] { return log_.Count(ckDataWaiting) >= 2; }));
    }
    for (const auto& event : log_.Events()) {
        if (event.Kind == ckDataWaiting) {
            EXPECT_GT(event.Data, 0u);
        }
    }

    // Read with their arrival times, which cover every byte read.
    Bytes received;
    afp::TArrivalChunks chunks;
    WaitUntil([&] {
        const std::int32_t n = core_.ReadBytes(buffer, sizeof buffer, &chunks);
        received.insert(received.end(), buffer, buffer + std::max(n, 0));
        return received.size() >= 5;
    });
    EXPECT_TRUE(SameBytes(BytesOf("hello"), received));
    std::size_t timed = 0;
    for (const afp::TArrivalChunk& chunk : chunks) timed += chunk.Count;
    EXPECT_EQ(timed, received.size());
    if (!idlePolls)
        GTEST_SKIP() << "the idle polls' announcements: Wine ends every comm-event wait at once while unread bytes "
                        "are queued, so the event thread never comes to an idle poll";
}

TEST_P(AfComPortCoreTest, QueuedBlocksGoOutWholeAndDrainOncePerBlock) {
    core_.SetOutQueueSize(16);
    ASSERT_TRUE(core_.OpenDevice(port_));
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
    if (!far_->CanHangUp()) GTEST_SKIP() << "a test cannot pull the cable of a system COM port";
    ASSERT_TRUE(core_.OpenDevice(port_));
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
            far_->WiggleLines();
            far_->Write(chunk);
            far_->Read(4096, 1ms);
        }
    });

    std::mt19937 random(7);
    const Bytes out = PatternBytes(300, 5);
    BYTE buffer[512];
    milliseconds slowest{0};
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(core_.OpenDevice(port_)) << "cycle " << cycle;
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

INSTANTIATE_TEST_SUITE_P(Backends, AfComPortCoreTest, testing::ValuesIn(FarEndKinds()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kalvaro::test
