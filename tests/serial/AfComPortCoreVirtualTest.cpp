// The port core's cases that need the virtual cable's hooks: refused
// settings, injected rings and line errors, stalled writes. Linux builds,
// where the port map routes COM1 to a virtual end.
#include "serial/AfComPortCore.h"

#include "tests/serial/CoreTestSupport.h"
#include "tests/serial/VirtualFarEnd.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/ErrorOf.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kalvaro::test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD FastBaud = 921600;

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
        return ErrorOf([&] { core_.OpenDevice(number); });
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

TEST_F(AfComPortCoreVirtualTest, TheTraceTellsWhatTheDeviceLayerSaidAndWhatTheDeviceKept) {
    const TTraceAreas areas("serial");
    const std::string trace = StandardErrorOf([&] {
        {
            auto holder = afp::OpenVirtualCommDevice(far_.Device());
            EXPECT_EQ(OpenError(1), "Can't open device COM1");
        }
        ASSERT_TRUE(core_.OpenDevice(1));
        afp::virt::Refuse(far_.Device(), afp::virt::TRefusable::SetCommState, true);
        EXPECT_THROW(core_.SetDcb(EngineDcb(300)), EAfComPortCoreError);
        core_.CloseDevice();
    });
    using testing::HasSubstr;
    EXPECT_THAT(trace,
                HasSubstr("serial: COM1: Can't open device COM1, the device layer said ERROR_ACCESS_DENIED (5)\n"));
    EXPECT_THAT(trace,
                testing::ContainsRegex("serial: COM1: settings asked 300 8N1, .*, the device keeps 921600 8N1, "));
    EXPECT_THAT(trace, HasSubstr("serial: COM1: closed\n"));
    EXPECT_THAT(trace, testing::Not(HasSubstr("platform:")));
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
