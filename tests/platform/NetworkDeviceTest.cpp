// The network backend (rfc2217:// and tcp://) against a test server of our
// own: what no pty can give (modem-state and line-state notifications,
// flow-control suspension), settings as the server answers them, raw
// connections, and servers that misbehave. The contract suite runs on it
// too (CommDeviceContractTest.cpp); ser2net itself in Ser2netTest.cpp.
#include "platform/CommBackends.h"
#include "platform/NetSocket.h"
#include "platform/NetworkPort.h"
#include "tests/platform/DeviceFixtures.h"
#include "tests/platform/Rfc2217TestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kalvaro::test {
namespace {

using afp::LastError;
using namespace afp::telnet;
using TClock = std::chrono::steady_clock;

// Opens a device on the server and applies the engine's settings.
std::unique_ptr<afp::TCommDevice> OpenOn(TRfc2217TestServer& server, DWORD mask = EngineEventMask) {
    auto device = afp::OpenNetworkCommDevice(server.Address());
    if (device && !ApplyEngineSettings(*device, EngineDcb(115200), mask)) device.reset();
    return device;
}

// Whether the server got this SET-CONTROL value.
auto ControlSent(std::uint8_t value) {
    return [value](const TRfc2217TestServer::TCommand& command) {
        return command.Code == 5 && command.Value == Bytes{value};
    };
}

// An open that does not succeed, with the time it took.
struct TFailedOpen {
    DWORD Error;
    double Seconds;
};
TFailedOpen FailToOpen(const std::string& address) {
    const auto start = TClock::now();
    const auto device = afp::OpenNetworkCommDevice(address);
    const DWORD error = device ? ERROR_SUCCESS : LastError();
    return {error, std::chrono::duration<double>(TClock::now() - start).count()};
}

// ---- what a pty cannot give ----

TEST(NetworkDevice, ModemStateNotificationsRaiseTheEventsOfALocalDevice) {
    TRfc2217TestServer server;
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    struct TStep {
        std::uint8_t State;
        DWORD Events;
        DWORD Status;
    };
    const TStep steps[] = {
        {0x31, EV_CTS | EV_DSR, MS_CTS_ON | MS_DSR_ON},
        {0xA8, EV_CTS | EV_RLSD, MS_DSR_ON | MS_RLSD_ON},
        {0xE0, EV_RING, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON},
        {0xA4, 0, MS_DSR_ON | MS_RLSD_ON},        // the end of a ring that was seen
        {0xA4, EV_RING, MS_DSR_ON | MS_RLSD_ON},  // a ring too short to be seen on
    };
    for (const TStep& step : steps) {
        SCOPED_TRACE(testing::Message() << "modem state " << int(step.State));
        TCommWait wait(*device);
        ASSERT_TRUE(wait.StartOutstanding()) << LastError();
        ASSERT_TRUE(server.SendComPort(107, {step.State}));
        if (step.Events == 0) {
            EXPECT_FALSE(wait.Signalled(milliseconds(200))) << "mask " << wait.Mask();
        } else {
            ASSERT_TRUE(wait.Signalled());
            EXPECT_EQ(wait.Mask(), step.Events);
        }
        DWORD status = 0;
        ASSERT_TRUE(device->GetCommModemStatus(status));
        EXPECT_EQ(status, step.Status);
    }
}

TEST(NetworkDevice, LineStateNotificationsAreLineErrors) {
    TRfc2217TestServer server;
    auto device = OpenOn(server, EngineEventMask | EV_BREAK);
    ASSERT_TRUE(device) << LastError();
    TCommWait wait(*device);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();
    // Holding-register and shift-register states are no errors.
    ASSERT_TRUE(server.SendComPort(106, {0x60}));
    ASSERT_TRUE(server.SendComPort(106, {0x7E}));
    ASSERT_TRUE(wait.Signalled());
    EXPECT_EQ(wait.Mask(), EV_ERR | EV_BREAK);
    DWORD errors = 0;
    ASSERT_TRUE(device->ClearCommError(&errors, nullptr));
    EXPECT_EQ(errors, CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK);
}

TEST(NetworkDevice, ServerSuspensionHoldsTheWriterUntilItResumes) {
    TRfc2217TestServer server;
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    ASSERT_TRUE(server.Suspend(true));
    // The settings' answers come after the suspension on the same stream:
    // once they are in, so is the suspension.
    DCB dcb{};
    ASSERT_TRUE(device->GetCommState(dcb));
    ASSERT_TRUE(device->SetCommState(dcb)) << LastError();
    TOverlappedWrite write(*device, BytesOf("held"));
    ASSERT_FALSE(write.Start());
    EXPECT_TRUE(server.Read(4, milliseconds(300)).empty());
    EXPECT_FALSE(write.Signalled(milliseconds(0)));
    ASSERT_TRUE(server.Suspend(false));
    EXPECT_TRUE(SameBytes(BytesOf("held"), server.Read(4)));
    EXPECT_TRUE(write.Finish()) << LastError();
}

// The engine's write thread: one write at a time, the next as soon as the
// last completes. Each must complete however the socket's room and the
// wake-ups of the I/O thread fall.
TEST(NetworkDevice, WritesOneAfterAnotherAllGoOut) {
    TRfc2217TestServer server;
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    const Bytes data = PatternBytes(8u << 20, 3);
    Bytes arrived;
    std::thread reader([&] { arrived = server.Read(data.size(), LongLimit); });
    for (std::size_t done = 0; done < data.size();) {
        TOverlappedWrite write(*device,
                               Bytes(data.begin() + static_cast<std::ptrdiff_t>(done),
                                     data.begin() + static_cast<std::ptrdiff_t>(std::min(done + 65536, data.size()))));
        write.Start();
        if (!write.Signalled()) {
            ADD_FAILURE() << "the write after " << done << " bytes did not complete";
            break;
        }
        ASSERT_TRUE(write.Finish()) << LastError();
        done += write.Transferred();
    }
    reader.join();
    EXPECT_TRUE(SameBytes(data, arrived));
}

// ---- settings ----

TEST(NetworkDevice, SettingsGoToTheServerAndItsAnswersAreReadBack) {
    TRfc2217TestServer server;
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    DCB dcb = EngineDcb(250000);
    dcb.ByteSize = 7;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = TWOSTOPBITS;
    SetDcbFlags(dcb, DcbFlags(dcb) | DCB_FOUTX | DCB_FINX);
    ASSERT_TRUE(device->SetCommState(dcb)) << LastError();
    const auto commands = server.Commands();
    const auto sent = [&](std::uint8_t code, const Bytes& value) {
        for (const auto& command : commands)
            if (command.Code == code && command.Value == value) return true;
        return false;
    };
    EXPECT_TRUE(sent(1, {0, 3, 0xD0, 0x90}));  // 250000, network order
    EXPECT_TRUE(sent(2, {7}));
    EXPECT_TRUE(sent(3, {4}));
    EXPECT_TRUE(sent(4, {2}));
    EXPECT_TRUE(sent(5, {2}));  // XON/XOFF both ways
    EXPECT_TRUE(sent(5, {8}));  // DTR on
    EXPECT_TRUE(sent(5, {11}));
    DCB state{};
    ASSERT_TRUE(device->GetCommState(state));
    EXPECT_EQ(state.BaudRate, 250000u);
    EXPECT_EQ(state.Parity, MARKPARITY);

    for (const DWORD function : {CLRDTR, CLRRTS, SETBREAK, CLRBREAK})
        ASSERT_TRUE(device->EscapeCommFunction(function)) << function;
    EXPECT_TRUE(server.WaitForCommand(ControlSent(9)));
    EXPECT_TRUE(server.WaitForCommand(ControlSent(12)));
    EXPECT_TRUE(server.WaitForCommand(ControlSent(5)));
    EXPECT_TRUE(server.WaitForCommand(ControlSent(6)));
    ASSERT_TRUE(device->PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_TRUE(
        server.WaitForCommand([](const auto& command) { return command.Code == 12 && command.Value == Bytes{3}; }));
    // The line found at open is what the server answered to the queries.
    device.reset();
    auto again = afp::OpenNetworkCommDevice(server.Address());
    ASSERT_TRUE(again) << LastError();
    ASSERT_TRUE(again->GetCommState(state));
    EXPECT_EQ(state.BaudRate, 250000u);
    EXPECT_EQ(state.ByteSize, 7);
    EXPECT_EQ(state.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(DcbFlags(state) & DCB_FOUTX);
}

TEST(NetworkDevice, ASettingTheServerDoesNotTakeFailsAndThePreviousOneGoesBack) {
    TServerBehaviour stubborn;
    stubborn.Answers[3] = 1;  // parity: always none
    TRfc2217TestServer server(stubborn);
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    DCB even = EngineDcb(115200);
    even.Parity = EVENPARITY;
    afp::SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(device->SetCommState(even));
    EXPECT_EQ(LastError(), ERROR_NOT_SUPPORTED);
    DCB state{};
    ASSERT_TRUE(device->GetCommState(state));
    EXPECT_EQ(state.Parity, NOPARITY);
    // Asked for even, then none again.
    EXPECT_TRUE(WaitUntil([&] {
        const auto commands = server.Commands();
        const auto isParity = [](std::uint8_t value) {
            return [value](const auto& command) { return command.Code == 3 && command.Value == Bytes{value}; };
        };
        const auto even = std::find_if(commands.begin(), commands.end(), isParity(3));
        return even != commands.end() && std::find_if(even, commands.end(), isParity(1)) != commands.end();
    }));
    EXPECT_TRUE(device->SetCommState(EngineDcb(9600))) << LastError();
}

// ---- raw connections ----

TEST(NetworkDevice, RawTcpCarriesBytesAsTheyAreAndTakesSettingsWithoutEffect) {
    auto listener = afp::TNetListener::Listen();
    ASSERT_TRUE(listener);
    const std::string address = "tcp://127.0.0.1:" + std::to_string(listener->Port());
    auto device = afp::OpenNetworkCommDevice(address);
    ASSERT_TRUE(device) << LastError();
    auto remote = listener->Accept(ShortLimit);
    ASSERT_TRUE(remote);
    DCB odd = EngineDcb(1200);
    odd.Parity = ODDPARITY;
    ASSERT_TRUE(ApplyEngineSettings(*device, odd));
    EXPECT_TRUE(device->EscapeCommFunction(CLRDTR));
    DWORD status = 0xFF;
    EXPECT_TRUE(device->GetCommModemStatus(status));
    EXPECT_EQ(status, 0u);

    const Bytes bytes = {0x00, 0xFF, 0xFF, 0xFA, 0x0D, 0x00, 0xFF};
    TOverlappedWrite write(*device, bytes);
    EXPECT_TRUE(write.Start() || LastError() == ERROR_IO_PENDING);
    EXPECT_TRUE(write.Finish());
    Bytes arrived;
    ASSERT_TRUE(WaitUntil([&] {
        std::uint8_t buffer[16];
        const auto got = remote->Receive(buffer, sizeof buffer);
        if (got.Status == afp::TNetResult::TStatus::Done) arrived.insert(arrived.end(), buffer, buffer + got.Count);
        return arrived.size() >= bytes.size();
    }));
    EXPECT_EQ(arrived, bytes);
    ASSERT_EQ(remote->Send(bytes.data(), bytes.size()).Count, bytes.size());
    EXPECT_TRUE(SameBytes(bytes, ReadFromDevice(*device, bytes.size())));
}

TEST(NetworkDevice, AServerThatRefusesComPortOptionGivesRawBytesAndTheDescriptionSaysSo) {
    TServerBehaviour refusing;
    refusing.TakesComPortOption = false;
    TRfc2217TestServer server(refusing);
    EXPECT_EQ(afp::NetworkPortDescription(server.Address()), server.Address());
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    EXPECT_NE(afp::NetworkPortDescription(server.Address()).find("refuses line control"), std::string::npos);
    EXPECT_TRUE(device->EscapeCommFunction(SETBREAK));
    ASSERT_TRUE(server.Write({0xFF, 'a'}));
    EXPECT_TRUE(SameBytes({0xFF, 'a'}, ReadFromDevice(*device, 2)));
    EXPECT_TRUE(server.Commands().empty()) << "a raw connection sent " << server.Commands().size() << " commands";
}

// ---- servers that misbehave ----

TEST(NetworkDevice, GarbageBeforeTheNegotiationIsDataAndBadSubnegotiationsAreIgnored) {
    TServerBehaviour chatty;
    chatty.Before = {'l', 'o', 'g', Iac, 7, 'i', 'n', ':', 0xFF, 0xFF};
    TRfc2217TestServer server(chatty);
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    EXPECT_TRUE(SameBytes({'l', 'o', 'g', 'i', 'n', ':', 0xFF}, ReadFromDevice(*device, 7)));

    // Truncated and unknown subnegotiations after the negotiation.
    ASSERT_TRUE(server.SendRaw({Iac, Sb, 44,  101, 0,  Iac, Se, Iac, Sb, 44,  150, 1,   2,  Iac, Se, Iac,
                                Sb,  44, 107, Iac, Se, Iac, Sb, 24,  1,  Iac, Se,  Iac, Sb, Iac, Se}));
    ASSERT_TRUE(server.Write(BytesOf("still here")));
    EXPECT_TRUE(SameBytes(BytesOf("still here"), ReadFromDevice(*device, 10)));
    DWORD status = 0xFF;
    EXPECT_TRUE(device->GetCommModemStatus(status)) << "the connection was given up";
    EXPECT_EQ(status, 0u);
}

TEST(NetworkDevice, AnEndlessSubnegotiationLosesTheConnection) {
    TRfc2217TestServer server;
    auto device = OpenOn(server);
    ASSERT_TRUE(device) << LastError();
    TCommWait wait(*device);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();
    Bytes endless = {Iac, Sb, 44, 100};
    endless.resize(64 * 1024, 'x');
    server.SendRaw(endless);
    ASSERT_TRUE(wait.Signalled()) << "the connection was kept";
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_TRUE(server.WaitConnected(false)) << "the connection was not closed";
}

TEST(NetworkDevice, ServersThatDoNotNegotiateFailTheOpenWithinItsLimit) {
    TServerBehaviour silent;
    silent.Negotiates = false;
    TServerBehaviour mute;
    mute.AnswersSettings = false;
    TServerBehaviour endless;
    endless.Before = {Iac, Sb, 44, 100};
    endless.Before.resize(1000, 'x');
    for (const TServerBehaviour& behaviour : {silent, mute, endless}) {
        TRfc2217TestServer server(behaviour);
        const TFailedOpen open = FailToOpen(server.Address());
        EXPECT_EQ(open.Error, ERROR_GEN_FAILURE);
        // A hang check, not a measure of speed: the limit is about 2 s.
        EXPECT_LT(open.Seconds, 10.0);
    }
}

TEST(NetworkDevice, AServerThatIsNotThereFailsAsAMissingDevice) {
    std::uint16_t closedPort = 0;
    {
        auto listener = afp::TNetListener::Listen();
        ASSERT_TRUE(listener);
        closedPort = listener->Port();
    }
    EXPECT_EQ(FailToOpen("rfc2217://127.0.0.1:" + std::to_string(closedPort)).Error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FailToOpen("tcp://127.0.0.1:" + std::to_string(closedPort)).Error, ERROR_FILE_NOT_FOUND);
    for (const char* malformed : {"rfc2217://127.0.0.1", "rfc2217://:7000", "tcp://host:0", "tcp://host:65536",
                                  "rfc2217://[::1:7000", "tcp://a b:1"})
        EXPECT_EQ(FailToOpen(malformed).Error, ERROR_FILE_NOT_FOUND) << malformed;

    // A server whose queue is full takes no connection and refuses none:
    // the connect limit ends the wait.
    auto full = afp::TNetListener::Listen(0, 0);
    ASSERT_TRUE(full);
    std::string failure;
    auto filler = afp::TNetSocket::Connect("127.0.0.1", full->Port(), ShortLimit, failure);
    ASSERT_TRUE(filler) << failure;
    const TFailedOpen open = FailToOpen("rfc2217://127.0.0.1:" + std::to_string(full->Port()));
    EXPECT_EQ(open.Error, ERROR_FILE_NOT_FOUND);
    EXPECT_LT(open.Seconds, 10.0);
}

TEST(NetworkDevice, ProbingDoesNotConnect) {
    TRfc2217TestServer server;
    EXPECT_EQ(afp::ProbeNetworkCommDevice(server.Address()), ERROR_SUCCESS);
    EXPECT_EQ(afp::ProbeNetworkCommDevice("rfc2217://nowhere"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(server.WaitConnected(true, milliseconds(300)));
}

TEST(NetworkPortAddress, SchemesHostsAndPorts) {
    const auto lab = afp::ParseNetworkPort("rfc2217://lab-pi.local:7000");
    ASSERT_TRUE(lab);
    EXPECT_EQ(lab->Kind, afp::TNetworkPort::TKind::Rfc2217);
    EXPECT_EQ(lab->Host, "lab-pi.local");
    EXPECT_EQ(lab->Port, 7000);
    const auto v6 = afp::ParseNetworkPort("TCP://[fe80::1]:4001");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->Kind, afp::TNetworkPort::TKind::RawTcp);
    EXPECT_EQ(v6->Host, "fe80::1");
    for (const char* bad : {"rfc2217://host:7000/", "rfc2217://host:-1", "rfc2217://host:+1", "rfc2217://[]:1",
                            "telnet://host:23", "rfc2217://ho/st:1"})
        EXPECT_FALSE(afp::ParseNetworkPort(bad)) << bad;
    EXPECT_TRUE(afp::IsNetworkPortName("Rfc2217://host"));
    EXPECT_FALSE(afp::IsNetworkPortName("/dev/ttyUSB0"));
}

}  // namespace
}  // namespace kalvaro::test
