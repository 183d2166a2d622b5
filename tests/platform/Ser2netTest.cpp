// The network backend against the real server most users have: Debian's
// ser2net serving a pty with RFC 2217 (tests/support/Ser2net.h), the test
// holding the pty master as the serial device's far end.
#include "platform/CommBackends.h"
#include "platform/PosixTermios2.h"
#include "tests/platform/DeviceFixtures.h"
#include "tests/support/PtyPair.h"
#include "tests/support/Ser2net.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <thread>

namespace kalvaro::test {
namespace {

using afp::LastError;

class Ser2netTest : public testing::Test {
protected:
    void SetUp() override { Serve(false); }

    void Serve(bool modemLines) {
        server_.reset();
        server_ = std::make_unique<TSer2net>(pty_.SlavePath(), modemLines);
        ASSERT_TRUE(server_->Running()) << server_->Problem();
        device_ = Open();
        ASSERT_TRUE(device_) << "error " << LastError();
    }

    std::unique_ptr<afp::TCommDevice> Open() {
        auto device = afp::OpenNetworkCommDevice(server_->Address());
        if (device && !ApplyEngineSettings(*device, EngineDcb(115200))) device.reset();
        return device;
    }

    // The pty's settings as ser2net left them.
    afp_line_settings Line() const {
        afp_line_settings line{};
        EXPECT_EQ(0, afp_line_get(pty_.MasterFd(), &line));
        return line;
    }

    void TearDown() override {
        device_.reset();
        server_.reset();
    }

    TPtyPair pty_;
    std::unique_ptr<TSer2net> server_;
    std::unique_ptr<afp::TCommDevice> device_;
};

// Every byte value, then runs of 0xFF (which the protocol doubles).
Bytes EveryValueAndRunsOfIac() {
    Bytes bytes;
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<BYTE>(value));
    bytes.insert(bytes.end(), 1000, 0xFF);
    bytes.push_back(0x00);
    bytes.insert(bytes.end(), 3, 0xFF);
    return bytes;
}

TEST_F(Ser2netTest, EveryByteValueCrossesBothWaysExactly) {
    const Bytes bytes = EveryValueAndRunsOfIac();
    ASSERT_EQ(pty_.Write(bytes), bytes.size());
    EXPECT_TRUE(SameBytes(bytes, ReadFromDevice(*device_, bytes.size())));

    TOverlappedWrite write(*device_, bytes);
    EXPECT_TRUE(write.Start() || LastError() == ERROR_IO_PENDING) << LastError();
    EXPECT_TRUE(SameBytes(bytes, pty_.Read(bytes.size())));
    EXPECT_TRUE(write.Finish()) << LastError();
}

TEST_F(Ser2netTest, OneMebibyteEachWayArrivesInOrder) {
    constexpr std::size_t Size = 1u << 20;
    const Bytes toDevice = PatternBytes(Size, 31);
    TOverlappedWrite fromDevice(*device_, PatternBytes(Size, 37));
    std::size_t written = 0;
    Bytes atPty;
    std::thread ptyWriter([&] { written = pty_.Write(toDevice, LongLimit); });
    std::thread ptyReader([&] { atPty = pty_.Read(Size, LongLimit); });
    EXPECT_TRUE(fromDevice.Start() || LastError() == ERROR_IO_PENDING) << LastError();
    const Bytes atDevice = ReadFromDevice(*device_, Size, LongLimit);
    const bool sent = fromDevice.Finish();
    ptyWriter.join();
    ptyReader.join();
    EXPECT_EQ(written, Size);
    EXPECT_TRUE(sent) << LastError();
    EXPECT_TRUE(SameBytes(toDevice, atDevice)) << "pty to device";
    EXPECT_TRUE(SameBytes(fromDevice.Data(), atPty)) << "device to pty";
}

// A pty keeps CS8 without PARENB whatever is asked, but keeps the speed, the
// stop bits and the kind of parity: those show what reached it. (ser2net 4.3
// leaves CMSPAR set when mark or space parity gives way to odd or even, and
// answers so, which the backend takes as a refusal: the cases go the other
// way.)
TEST_F(Ser2netTest, LineSettingsReachThePtysTermiosAndTheAnswersAreReadBack) {
    struct TCase {
        DWORD Baud;
        BYTE Parity;
        BYTE StopBits;
        tcflag_t Flags;
    };
    const TCase cases[] = {
        {9600, EVENPARITY, ONESTOPBIT, 0},
        {57600, ODDPARITY, TWOSTOPBITS, PARODD | CSTOPB},
        {12345, MARKPARITY, ONESTOPBIT, PARODD | CMSPAR},
        {250000, SPACEPARITY, TWOSTOPBITS, CMSPAR | CSTOPB},
    };
    for (const TCase& line : cases) {
        SCOPED_TRACE(testing::Message() << line.Baud << " bit/s, parity " << int(line.Parity));
        DCB dcb = EngineDcb(line.Baud);
        dcb.ByteSize = 7;
        dcb.Parity = line.Parity;
        dcb.StopBits = line.StopBits;
        ASSERT_TRUE(device_->SetCommState(dcb)) << LastError();
        const afp_line_settings now = Line();
        EXPECT_EQ(now.ospeed, line.Baud);
        EXPECT_EQ(now.cflag & (PARODD | CMSPAR | CSTOPB), line.Flags);
        DCB state{};
        ASSERT_TRUE(device_->GetCommState(state));
        EXPECT_EQ(state.ByteSize, 7);
        EXPECT_EQ(state.Parity, line.Parity);
    }
    // ser2net puts its own settings (115200n81 in its configuration) on the
    // line for each connection: a fresh one finds them.
    device_.reset();
    auto again = afp::OpenNetworkCommDevice(server_->Address());
    ASSERT_TRUE(again) << LastError();
    DCB found{};
    ASSERT_TRUE(again->GetCommState(found));
    EXPECT_EQ(found.BaudRate, 115200u);
    EXPECT_EQ(found.ByteSize, 8);
    EXPECT_EQ(found.Parity, NOPARITY);
    EXPECT_EQ(found.StopBits, ONESTOPBIT);
}

TEST_F(Ser2netTest, DtrAndRtsReachSer2netAndItsModemLinesComeBack) {
    if (!TSer2net::ModemLinesAvailable()) GTEST_SKIP() << "the pty modem shim is not built here";
    Serve(true);
    constexpr int Dtr = TIOCM_DTR;
    constexpr int Rts = TIOCM_RTS;
    EXPECT_TRUE(WaitUntil([&] { return server_->DeviceLines() == (Dtr | Rts); })) << server_->DeviceLines();
    ASSERT_TRUE(device_->EscapeCommFunction(CLRDTR));
    EXPECT_TRUE(WaitUntil([&] { return server_->DeviceLines() == Rts; })) << server_->DeviceLines();
    ASSERT_TRUE(device_->EscapeCommFunction(CLRRTS));
    EXPECT_TRUE(WaitUntil([&] { return server_->DeviceLines() == 0; })) << server_->DeviceLines();
    ASSERT_TRUE(device_->EscapeCommFunction(SETDTR));
    EXPECT_TRUE(WaitUntil([&] { return server_->DeviceLines() == Dtr; })) << server_->DeviceLines();

    // The far end raises its lines: ser2net notices and notifies.
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();
    server_->SetFarLines(Dtr | Rts);
    ASSERT_TRUE(wait.Signalled());
    EXPECT_TRUE(wait.Mask() & (EV_CTS | EV_DSR | EV_RLSD)) << wait.Mask();
    DWORD status = 0;
    EXPECT_TRUE(WaitUntil([&] {
        return device_->GetCommModemStatus(status) && status == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    })) << status;
}

TEST_F(Ser2netTest, AKilledServerIsALostDeviceAndItsPortOpensWhenItIsBack) {
    // Mid-transfer: the device is sending while the pty does not read.
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();
    TOverlappedWrite write(*device_, PatternBytes(8u << 20, 3));
    EXPECT_FALSE(write.Start());
    server_->Kill();
    ASSERT_TRUE(wait.Signalled()) << "the loss was not noticed";
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    ASSERT_TRUE(write.Signalled());
    EXPECT_FALSE(write.Finish());
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);

    device_.reset();
    EXPECT_FALSE(Open());
    EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(server_->Start()) << server_->Problem();
    // Whatever the killed server left in the pty is not this test's.
    pty_.Read(16u << 20, milliseconds(200));
    device_ = Open();
    ASSERT_TRUE(device_) << "error " << LastError();
    ASSERT_EQ(pty_.Write("back"), 4u);
    EXPECT_TRUE(SameBytes(BytesOf("back"), ReadFromDevice(*device_, 4)));
}

}  // namespace
}  // namespace kalvaro::test
