// The virtual devices' own behaviour: modem wiring, injected rings and line
// errors, stalls, unplugging, pacing at the baud rate and the held sender.
// What every backend shares is covered by CommDeviceContractTest.cpp.
//
// Every test uses pair names of its own (the registry lives as long as the
// process). Events, overlapped records and write buffers are declared before
// the devices, so a device that a failing test leaves open is destroyed (and
// its operations completed) while they still exist.
#include "platform/CommDevice.h"
#include "platform/VirtualCommDevice.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace afp;
using namespace std::chrono_literals;
using virt::TEnd;
using virt::TRefusable;
using TClock = std::chrono::steady_clock;
using TBytes = std::vector<BYTE>;
using TDevice = std::unique_ptr<TCommDevice>;

constexpr DWORD ModemEvents = EV_CTS | EV_DSR | EV_RLSD;
constexpr DWORD AllLines = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
// The limit for things that must happen; only a broken device waits this long.
constexpr auto Patience = 10s;
// How long a write that must stay pending is watched.
constexpr auto Watch = 300ms;

// A pair name no other test uses.
std::string FreshPair() {
    static int serial = 0;
    return std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "." + std::to_string(++serial);
}

struct TAsync {
    TKernelEvent Event{true};
    TOverlapped Overlapped{&Event};
};

DWORD Millis(TClock::duration duration) {
    return static_cast<DWORD>(
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()));
}

// The outcome of an operation that must complete: ERROR_SUCCESS or its error,
// WAIT_TIMEOUT when it is still pending after the limit.
DWORD Outcome(TCommDevice& device, TAsync& operation, DWORD* transferred = nullptr, TClock::duration limit = Patience) {
    if (!WaitForEvent(operation.Event, Millis(limit))) return WAIT_TIMEOUT;
    DWORD count = 0;
    const DWORD result = device.GetOverlappedResult(operation.Overlapped, count, false) ? ERROR_SUCCESS : LastError();
    if (transferred) *transferred = count;
    return result;
}

// Starts a write; true when it is under way or done.
bool StartWrite(TCommDevice& device, const TBytes& data, TAsync& operation) {
    DWORD written = 0;
    return device.WriteFile(data.data(), static_cast<DWORD>(data.size()), written, operation.Overlapped) ||
           LastError() == ERROR_IO_PENDING;
}

// Collects comm events until every wanted bit has occurred or the limit
// passes; returns every bit seen. The device's mask must include them.
DWORD AwaitEvents(TCommDevice& device, DWORD wanted, TClock::duration limit = Patience) {
    const auto deadline = TClock::now() + limit;
    DWORD seen = 0;
    TAsync wait;
    while ((seen & wanted) != wanted) {
        DWORD mask = 0;
        if (!device.WaitCommEvent(mask, wait.Overlapped)) {
            if (LastError() != ERROR_IO_PENDING) break;
            if (!WaitForEvent(wait.Event, Millis(deadline - TClock::now()))) {
                // Re-setting the mask completes the wait (with an empty mask).
                DWORD current = 0;
                device.GetCommMask(current);
                device.SetCommMask(current);
                if (!WaitForEvent(wait.Event, Millis(Patience)))
                    kalvaro::test::EndStuckRun("a comm-event wait was still outstanding after SetCommMask");
                break;
            }
        }
        seen |= mask;
    }
    return seen;
}

DWORD Queued(TCommDevice& device, DWORD* errors = nullptr) {
    COMSTAT stat{};
    EXPECT_TRUE(device.ClearCommError(errors, &stat));
    return stat.cbInQue;
}

DWORD Unsent(TCommDevice& device) {
    COMSTAT stat{};
    EXPECT_TRUE(device.ClearCommError(nullptr, &stat));
    return stat.cbOutQue;
}

// Waits until the input queue holds count bytes; the mask must include EV_RXCHAR.
DWORD AwaitInput(TCommDevice& device, DWORD count) {
    const auto deadline = TClock::now() + Patience;
    DWORD queued = Queued(device);
    while (queued < count && TClock::now() < deadline) {
        AwaitEvents(device, EV_RXCHAR, deadline - TClock::now());
        queued = Queued(device);
    }
    return queued;
}

// Reads until count bytes came or the limit passed; the mask must include EV_RXCHAR.
TBytes ReadAll(TCommDevice& device, std::size_t count) {
    const auto deadline = TClock::now() + Patience;
    TBytes data;
    TBytes chunk(1 << 16);
    TAsync read;
    while (data.size() < count && TClock::now() < deadline) {
        DWORD got = 0;
        const DWORD wanted = static_cast<DWORD>(std::min(chunk.size(), count - data.size()));
        if (!device.ReadFile(chunk.data(), wanted, got, read.Overlapped)) break;
        if (got == 0)
            AwaitEvents(device, EV_RXCHAR, deadline - TClock::now());
        else
            data.insert(data.end(), chunk.begin(), chunk.begin() + got);
    }
    return data;
}

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

// Bytes without short repeats, so a lost or doubled run shows.
TBytes Pattern(std::size_t count) {
    TBytes data(count);
    std::uint32_t state = 12345;
    for (BYTE& byte : data) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<BYTE>(state >> 16);
    }
    return data;
}

DWORD ModemStatus(TCommDevice& device) {
    DWORD status = 0xFFFF;
    EXPECT_TRUE(device.GetCommModemStatus(status));
    return status;
}

DCB StateOf(TCommDevice& device) {
    DCB dcb{};
    EXPECT_TRUE(device.GetCommState(dcb));
    return dcb;
}

bool SetState(TCommDevice& device, DWORD baud, BYTE byteSize = 8, BYTE parity = NOPARITY, BYTE stopBits = ONESTOPBIT,
              DWORD dtrControl = DTR_CONTROL_ENABLE, DWORD rtsControl = RTS_CONTROL_ENABLE) {
    DCB dcb = StateOf(device);
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    SetDcbFlags(dcb, (DcbFlags(dcb) & ~(DCB_FDTRCONTROL_MASK | DCB_FRTSCONTROL_MASK)) |
                         (dtrControl << DCB_FDTRCONTROL_SHIFT) | (rtsControl << DCB_FRTSCONTROL_SHIFT));
    return device.SetCommState(dcb);
}

// ---- names and opening ----

TEST(VirtualDeviceOpen, MalformedNamesAreNotFound) {
    for (const char* name :
         {"virtual:", "virtual:pair", "virtual:pair/C", "virtual:pair/a", "virtual:/A", "virtual:pa ir/A",
          "virtual:pair/A/B", "virtual:loop/", "virtual:loop/x y", "virtual:pair/AB"}) {
        afp::SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(OpenCommDevice(name), nullptr) << name;
        EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND) << name;
    }
    const TDevice device = OpenCommDevice(virt::EndName("Any_name.with-0k", TEnd::B));
    EXPECT_NE(device, nullptr);
}

TEST(VirtualDeviceOpen, EachEndOpensOnceAtATime) {
    const std::string pair = FreshPair();
    TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
    ASSERT_NE(a, nullptr);
    afp::SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenCommDevice(virt::EndName(pair, TEnd::A)), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    EXPECT_NE(b, nullptr);

    const TDevice loop = OpenCommDevice(virt::LoopName(pair));
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(OpenCommDevice(virt::LoopName(pair)), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);

    a.reset();
    EXPECT_NE(OpenCommDevice(virt::EndName(pair, TEnd::A)), nullptr);
}

TEST(VirtualDeviceOpen, UnpluggedEndIsNotFoundUntilPluggedAgain) {
    const std::string name = virt::EndName(FreshPair(), TEnd::A);
    virt::Unplug(name);
    afp::SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenCommDevice(name), nullptr);
    EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND);
    virt::Plug(name);
    EXPECT_NE(OpenCommDevice(name), nullptr);
}

TEST(VirtualDeviceOpen, ClosingLeavesNoThreadBehind) {
    auto threads = [] { return kalvaro::test::ThreadCount(); };
    const auto before = threads();
    {
        TAsync write;
        const TBytes data = Pattern(4000);
        const std::string pair = FreshPair();
        const TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
        const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
        const TDevice loop = OpenCommDevice(virt::LoopName(pair));
        ASSERT_TRUE(a && b && loop);
        ASSERT_TRUE(StartWrite(*a, data, write));  // still going at 9600 baud when closed
        EXPECT_GT(threads(), before);
    }
    // A joined thread may still be listed for a moment while the kernel
    // finishes its exit.
    const auto deadline = TClock::now() + Patience;
    while (threads() > before && TClock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(threads(), before);
}

// ---- modem lines ----

TEST(VirtualModemLines, PeerOpeningAndClosingDrivesCtsDsrRlsd) {
    const std::string pair = FreshPair();
    const std::string nameA = virt::EndName(pair, TEnd::A);
    const std::string nameB = virt::EndName(pair, TEnd::B);
    const TDevice a = OpenCommDevice(nameA);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(a->SetCommMask(ModemEvents));
    EXPECT_EQ(ModemStatus(*a), 0u);  // nobody at the far end
    EXPECT_EQ(virt::PeerModemStatus(nameA), AllLines);
    EXPECT_EQ(virt::PeerModemStatus(nameB), 0u);

    TDevice b = OpenCommDevice(nameB);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(AwaitEvents(*a, ModemEvents), ModemEvents);
    EXPECT_EQ(ModemStatus(*a), AllLines);
    EXPECT_EQ(ModemStatus(*b), AllLines);  // A's lines were up before B opened
    EXPECT_EQ(virt::PeerModemStatus(nameB), AllLines);

    b.reset();
    EXPECT_EQ(AwaitEvents(*a, ModemEvents), ModemEvents);
    EXPECT_EQ(ModemStatus(*a), 0u);
    EXPECT_EQ(virt::PeerModemStatus(nameB), 0u);

    b = OpenCommDevice(nameB);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(AwaitEvents(*a, ModemEvents), ModemEvents);
    EXPECT_EQ(ModemStatus(*a), AllLines);
}

TEST(VirtualModemLines, EscapeFunctionsDriveTheFarEndBothWays) {
    const std::string pair = FreshPair();
    const TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(a && b);
    const std::pair<TCommDevice*, TCommDevice*> directions[] = {{a.get(), b.get()}, {b.get(), a.get()}};
    for (const auto& [local, remote] : directions) {
        ASSERT_TRUE(remote->SetCommMask(ModemEvents));
        struct TStep {
            DWORD Function;
            DWORD Events;
            DWORD Status;
        };
        for (const TStep& step : {TStep{CLRRTS, EV_CTS, MS_DSR_ON | MS_RLSD_ON}, TStep{CLRDTR, EV_DSR | EV_RLSD, 0},
                                  TStep{SETRTS, EV_CTS, MS_CTS_ON}, TStep{SETDTR, EV_DSR | EV_RLSD, AllLines}}) {
            ASSERT_TRUE(local->EscapeCommFunction(step.Function));
            // The far end learns of it before the escape returns.
            EXPECT_EQ(AwaitEvents(*remote, step.Events), step.Events) << step.Function;
            EXPECT_EQ(ModemStatus(*remote), step.Status) << step.Function;
            EXPECT_EQ(ModemStatus(*local), AllLines) << step.Function;
        }
        EXPECT_TRUE(local->EscapeCommFunction(SETXOFF));
        EXPECT_TRUE(local->EscapeCommFunction(SETXON));
        EXPECT_EQ(ModemStatus(*remote), AllLines);
    }
}

TEST(VirtualModemLines, SetCommStateControlsDriveTheFarEnd) {
    const std::string pair = FreshPair();
    const std::string nameA = virt::EndName(pair, TEnd::A);
    const TDevice a = OpenCommDevice(nameA);
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(b->SetCommMask(ModemEvents));

    ASSERT_TRUE(SetState(*a, 9600, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(AwaitEvents(*b, EV_DSR | EV_RLSD), EV_DSR | EV_RLSD);
    EXPECT_EQ(ModemStatus(*b), MS_CTS_ON);
    EXPECT_EQ(virt::PeerModemStatus(nameA), MS_CTS_ON);

    ASSERT_TRUE(SetState(*a, 9600, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE));
    EXPECT_EQ(AwaitEvents(*b, ModemEvents), ModemEvents);
    EXPECT_EQ(ModemStatus(*b), MS_DSR_ON | MS_RLSD_ON);

    // Re-applying the settings raises a line the escape dropped.
    ASSERT_TRUE(a->EscapeCommFunction(CLRDTR));
    ASSERT_TRUE(SetState(*a, 9600, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE));
    EXPECT_EQ(ModemStatus(*b), MS_DSR_ON | MS_RLSD_ON);
}

TEST(VirtualModemLines, LoopbackPlugWiresItsOwnLinesAndData) {
    const std::string name = virt::LoopName(FreshPair());
    const TDevice loop = OpenCommDevice(name);
    ASSERT_NE(loop, nullptr);
    ASSERT_TRUE(loop->SetCommMask(ModemEvents | EV_RXCHAR));
    EXPECT_EQ(ModemStatus(*loop), AllLines);

    ASSERT_TRUE(loop->EscapeCommFunction(CLRRTS));
    EXPECT_EQ(AwaitEvents(*loop, EV_CTS), EV_CTS);
    EXPECT_EQ(ModemStatus(*loop), MS_DSR_ON | MS_RLSD_ON);
    ASSERT_TRUE(loop->EscapeCommFunction(CLRDTR));
    EXPECT_EQ(AwaitEvents(*loop, EV_DSR | EV_RLSD), EV_DSR | EV_RLSD);
    EXPECT_EQ(ModemStatus(*loop), 0u);
    EXPECT_EQ(virt::PeerModemStatus(name), 0u);

    TAsync write;
    const TBytes data = Text("echo");
    ASSERT_TRUE(SetState(*loop, 115200));
    ASSERT_TRUE(StartWrite(*loop, data, write));
    EXPECT_EQ(ReadAll(*loop, data.size()), data);
    EXPECT_EQ(Outcome(*loop, write), ERROR_SUCCESS);
}

// ---- injected conditions ----

TEST(VirtualInjection, RingReachesOnlyTheEndNamed) {
    const std::string pair = FreshPair();
    const std::string nameA = virt::EndName(pair, TEnd::A);
    virt::Ring(nameA);  // nobody open: nothing to see, nothing kept
    const TDevice a = OpenCommDevice(nameA);
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->SetCommMask(EV_RING));
    ASSERT_TRUE(b->SetCommMask(EV_RING));

    virt::Ring(nameA);
    EXPECT_EQ(AwaitEvents(*a, EV_RING), EV_RING);
    // Rings are raised before the hook returns, so B would report one at once.
    TAsync wait;
    DWORD mask = 0;
    EXPECT_FALSE(b->WaitCommEvent(mask, wait.Overlapped));
    EXPECT_EQ(LastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(b->SetCommMask(EV_RING));
    EXPECT_EQ(Outcome(*b, wait), ERROR_SUCCESS);
    EXPECT_EQ(mask, 0u);
}

TEST(VirtualInjection, LineErrorsRaiseEvErrAndAreReportedOnce) {
    const std::string name = virt::EndName(FreshPair(), TEnd::B);
    const TDevice b = OpenCommDevice(name);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(b->SetCommMask(EV_ERR | EV_BREAK));

    virt::InjectLineErrors(name, CE_FRAME | CE_RXPARITY);
    EXPECT_EQ(AwaitEvents(*b, EV_ERR), EV_ERR);
    DWORD errors = 0;
    Queued(*b, &errors);
    EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY);
    Queued(*b, &errors);
    EXPECT_EQ(errors, 0u);

    virt::InjectLineErrors(name, CE_BREAK | CE_OVERRUN);
    EXPECT_EQ(AwaitEvents(*b, EV_ERR | EV_BREAK), EV_ERR | EV_BREAK);
    Queued(*b, &errors);
    EXPECT_EQ(errors, CE_BREAK | CE_OVERRUN);
}

TEST(VirtualInjection, BreakSentIsSeenByTheFarEnd) {
    const std::string pair = FreshPair();
    const TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(b->SetCommMask(EV_BREAK));
    ASSERT_TRUE(a->EscapeCommFunction(SETBREAK));
    ASSERT_TRUE(a->EscapeCommFunction(CLRBREAK));
    EXPECT_EQ(AwaitEvents(*b, EV_BREAK), EV_BREAK);
    DWORD errors = 0;
    Queued(*b, &errors);
    EXPECT_EQ(errors, CE_BREAK);
}

TEST(VirtualInjection, StalledWritesStayPendingUntilPurgedOrReleased) {
    TAsync purged;
    TAsync released;
    const TBytes first = Text("purged");
    const TBytes second = Text("released");
    const std::string pair = FreshPair();
    const std::string nameA = virt::EndName(pair, TEnd::A);
    const TDevice a = OpenCommDevice(nameA);
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(b->SetCommMask(EV_RXCHAR));
    ASSERT_TRUE(SetState(*a, 115200));

    virt::StallWrites(nameA, true);
    ASSERT_TRUE(StartWrite(*a, first, purged));
    EXPECT_EQ(Outcome(*a, purged, nullptr, Watch), WAIT_TIMEOUT);
    EXPECT_EQ(Unsent(*a), first.size());
    ASSERT_TRUE(a->PurgeComm(PURGE_TXABORT));
    DWORD transferred = 99;
    EXPECT_EQ(Outcome(*a, purged, &transferred), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(transferred, 0u);

    ASSERT_TRUE(StartWrite(*a, second, released));
    EXPECT_EQ(Outcome(*a, released, nullptr, Watch), WAIT_TIMEOUT);
    virt::StallWrites(nameA, false);
    EXPECT_EQ(Outcome(*a, released, &transferred), ERROR_SUCCESS);
    EXPECT_EQ(transferred, second.size());
    EXPECT_EQ(ReadAll(*b, second.size()), second);
    EXPECT_EQ(Queued(*b), 0u);  // nothing of the purged write
}

// ---- unplugging ----

TEST(VirtualUnplug, OutstandingWaitAndWriteFailAndTheFarEndSeesLinesDrop) {
    TAsync wait;
    TAsync write;
    const TBytes data = Text("never sent");
    const TBytes early = Text("abc");
    const std::string pair = FreshPair();
    const std::string nameA = virt::EndName(pair, TEnd::A);
    const TDevice a = OpenCommDevice(nameA);
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->SetCommMask(EV_RXCHAR));
    ASSERT_TRUE(b->SetCommMask(ModemEvents));
    ASSERT_TRUE(SetState(*b, 115200));
    {
        TAsync sent;
        ASSERT_TRUE(StartWrite(*b, early, sent));
        ASSERT_EQ(Outcome(*b, sent), ERROR_SUCCESS);
    }
    ASSERT_EQ(AwaitInput(*a, early.size()), early.size());

    virt::StallWrites(nameA, true);
    ASSERT_TRUE(StartWrite(*a, data, write));
    ASSERT_TRUE(a->SetCommMask(EV_RING));
    DWORD mask = 0xFFFF;
    ASSERT_FALSE(a->WaitCommEvent(mask, wait.Overlapped));
    ASSERT_EQ(LastError(), ERROR_IO_PENDING);

    virt::Unplug(nameA);
    EXPECT_EQ(Outcome(*a, wait), ERROR_BAD_COMMAND);
    EXPECT_EQ(Outcome(*a, write), ERROR_BAD_COMMAND);
    EXPECT_EQ(AwaitEvents(*b, ModemEvents), ModemEvents);
    EXPECT_EQ(ModemStatus(*b), 0u);

    // From now on the device refuses everything but reading what it holds.
    TAsync later;
    DWORD status = 0;
    EXPECT_FALSE(StartWrite(*a, data, later));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_FALSE(a->WaitCommEvent(mask, later.Overlapped));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_FALSE(a->GetCommModemStatus(status));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_FALSE(a->EscapeCommFunction(SETRTS));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_FALSE(SetState(*a, 9600));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    TBytes buffer(16);
    DWORD read = 0;
    ASSERT_TRUE(a->ReadFile(buffer.data(), 16, read, later.Overlapped));
    EXPECT_EQ(TBytes(buffer.begin(), buffer.begin() + read), early);
    EXPECT_FALSE(a->ReadFile(buffer.data(), 16, read, later.Overlapped));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_EQ(ModemStatus(*b), 0u);  // the lost device's escape changed nothing
    virt::StallWrites(nameA, false);
}

TEST(VirtualUnplug, ReplugLetsTheEndOpenWhileTheLostDeviceLives) {
    const std::string pair = FreshPair();
    const std::string nameA = virt::EndName(pair, TEnd::A);
    const TDevice lost = OpenCommDevice(nameA);
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(lost && b);
    ASSERT_TRUE(b->SetCommMask(ModemEvents));

    virt::Unplug(nameA);
    EXPECT_EQ(OpenCommDevice(nameA), nullptr);
    EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(AwaitEvents(*b, ModemEvents), ModemEvents);

    virt::Plug(nameA);
    TDevice again = OpenCommDevice(nameA);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(AwaitEvents(*b, ModemEvents), ModemEvents);
    EXPECT_EQ(ModemStatus(*b), AllLines);
    EXPECT_EQ(ModemStatus(*again), AllLines);

    // The new device owns the end: another open is busy, and the lost one's
    // closing does not touch the lines.
    EXPECT_EQ(OpenCommDevice(nameA), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
    TAsync write;
    const TBytes data = Text("new");
    ASSERT_TRUE(b->SetCommMask(EV_RXCHAR));
    ASSERT_TRUE(SetState(*again, 115200));
    ASSERT_TRUE(StartWrite(*again, data, write));
    EXPECT_EQ(ReadAll(*b, data.size()), data);
}

// ---- pacing and flow ----

TEST(VirtualLine, BytesCrossAtTheBaudRateCountingEveryBit) {
    struct TFraming {
        BYTE ByteSize;
        BYTE Parity;
        BYTE StopBits;
        double Bits;
    };
    constexpr DWORD Baud = 9600;
    const TBytes data = Pattern(240);
    for (const TFraming& framing :
         {TFraming{8, NOPARITY, ONESTOPBIT, 10}, TFraming{7, EVENPARITY, TWOSTOPBITS, 11},
          TFraming{5, NOPARITY, ONE5STOPBITS, 7.5}, TFraming{8, ODDPARITY, TWOSTOPBITS, 12}}) {
        TAsync write;
        const std::string pair = FreshPair();
        const TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
        const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
        ASSERT_TRUE(a && b);
        ASSERT_TRUE(b->SetCommMask(EV_RXCHAR));
        ASSERT_TRUE(SetState(*a, Baud, framing.ByteSize, framing.Parity, framing.StopBits));

        const auto started = TClock::now();
        ASSERT_TRUE(StartWrite(*a, data, write));
        ASSERT_EQ(Outcome(*a, write), ERROR_SUCCESS);
        const std::chrono::duration<double> took = TClock::now() - started;
        // Only a lower bound: a busy machine may always take longer.
        const double least = data.size() * framing.Bits / Baud;
        EXPECT_GE(took.count(), least - 0.001) << framing.Bits << " bits per character";
        EXPECT_EQ(ReadAll(*b, data.size()), data);
    }
}

TEST(VirtualLine, BytesToAClosedFarEndGoOutAndAreLost) {
    TAsync write;
    const TBytes data = Pattern(200);
    const std::string pair = FreshPair();
    const TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(SetState(*a, 115200));
    ASSERT_TRUE(StartWrite(*a, data, write));
    DWORD transferred = 0;
    EXPECT_EQ(Outcome(*a, write, &transferred), ERROR_SUCCESS);
    EXPECT_EQ(transferred, data.size());
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Queued(*b), 0u);
}

TEST(VirtualLine, FullInputQueueHoldsTheSenderAndLosesNothing) {
    constexpr DWORD QueueSize = 1u << 20;
    TAsync write;
    const TBytes data = Pattern(3 * QueueSize);
    const std::string pair = FreshPair();
    const TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
    const TDevice b = OpenCommDevice(virt::EndName(pair, TEnd::B));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(b->SetupComm(QueueSize, 4096));
    ASSERT_TRUE(b->SetCommMask(EV_RXCHAR));
    ASSERT_TRUE(SetState(*a, 50'000'000));

    ASSERT_TRUE(StartWrite(*a, data, write));
    ASSERT_EQ(AwaitInput(*b, QueueSize), QueueSize);
    EXPECT_EQ(Outcome(*a, write, nullptr, Watch), WAIT_TIMEOUT);
    DWORD errors = 0;
    EXPECT_EQ(Queued(*b, &errors), QueueSize);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(Unsent(*a), data.size() - QueueSize);

    EXPECT_EQ(ReadAll(*b, data.size()), data);
    DWORD transferred = 0;
    EXPECT_EQ(Outcome(*a, write, &transferred), ERROR_SUCCESS);
    EXPECT_EQ(transferred, data.size());
    EXPECT_EQ(Queued(*b, &errors), 0u);
    EXPECT_EQ(errors, 0u);
}

TEST(VirtualLine, ClosingAFullReceiverReleasesTheSender) {
    constexpr DWORD QueueSize = 1u << 20;
    TAsync write;
    const TBytes data = Pattern(QueueSize + 5000);
    const std::string pair = FreshPair();
    const std::string nameB = virt::EndName(pair, TEnd::B);
    const TDevice a = OpenCommDevice(virt::EndName(pair, TEnd::A));
    TDevice b = OpenCommDevice(nameB);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(b->SetCommMask(EV_RXCHAR));
    ASSERT_TRUE(SetState(*a, 50'000'000));

    ASSERT_TRUE(StartWrite(*a, data, write));
    ASSERT_EQ(AwaitInput(*b, QueueSize), QueueSize);
    b.reset();
    EXPECT_EQ(Outcome(*a, write), ERROR_SUCCESS);
    b = OpenCommDevice(nameB);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Queued(*b), 0u);
}

// ---- settings ----

TEST(VirtualSettings, RefusedSetCommStateKeepsThePreviousSettings) {
    const std::string pair = FreshPair();
    const std::string nameA = virt::EndName(pair, TEnd::A);
    const TDevice a = OpenCommDevice(nameA);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(SetState(*a, 19200, 7, EVENPARITY, ONESTOPBIT));

    virt::Refuse(nameA, TRefusable::SetCommState, true);
    EXPECT_FALSE(SetState(*a, 57600, 8, NOPARITY, TWOSTOPBITS, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE));
    EXPECT_EQ(LastError(), ERROR_GEN_FAILURE);
    const DCB kept = StateOf(*a);
    EXPECT_EQ(kept.BaudRate, 19200u);
    EXPECT_EQ(kept.ByteSize, 7);
    EXPECT_EQ(kept.Parity, EVENPARITY);
    EXPECT_EQ(virt::PeerModemStatus(nameA), AllLines);

    virt::Refuse(nameA, TRefusable::SetCommState, false);
    EXPECT_TRUE(SetState(*a, 57600));
    EXPECT_EQ(StateOf(*a).BaudRate, 57600u);
}

TEST(VirtualSettings, RefusedOperationsFailWithGenFailureAndChangeNothing) {
    const std::string name = virt::EndName(FreshPair(), TEnd::B);
    // A refusal belongs to the end, so it can be set before the device opens.
    virt::Refuse(name, TRefusable::SetCommTimeouts, true);
    virt::Refuse(name, TRefusable::SetupComm, true);
    virt::Refuse(name, TRefusable::SetCommMask, true);
    const TDevice b = OpenCommDevice(name);
    ASSERT_NE(b, nullptr);

    const COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    EXPECT_FALSE(b->SetCommTimeouts(immediate));
    EXPECT_EQ(LastError(), ERROR_GEN_FAILURE);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(b->GetCommTimeouts(timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_FALSE(b->SetupComm(8192, 4096));
    EXPECT_EQ(LastError(), ERROR_GEN_FAILURE);
    EXPECT_FALSE(b->SetCommMask(EV_RXCHAR));
    EXPECT_EQ(LastError(), ERROR_GEN_FAILURE);
    DWORD mask = 1;
    ASSERT_TRUE(b->GetCommMask(mask));
    EXPECT_EQ(mask, 0u);

    virt::Refuse(name, TRefusable::SetCommTimeouts, false);
    virt::Refuse(name, TRefusable::SetupComm, false);
    virt::Refuse(name, TRefusable::SetCommMask, false);
    EXPECT_TRUE(b->SetCommTimeouts(immediate));
    EXPECT_TRUE(b->SetupComm(8192, 4096));
    EXPECT_TRUE(b->SetCommMask(EV_RXCHAR));
}

TEST(VirtualSettings, AnEndKeepsItsSettingsBetweenOpens) {
    const std::string name = virt::EndName(FreshPair(), TEnd::A);
    TDevice a = OpenCommDevice(name);
    ASSERT_NE(a, nullptr);
    const DCB first = StateOf(*a);
    EXPECT_EQ(first.BaudRate, 9600u);
    EXPECT_EQ(first.ByteSize, 8);
    EXPECT_EQ(first.Parity, NOPARITY);
    EXPECT_EQ(first.StopBits, ONESTOPBIT);
    EXPECT_EQ(DcbDtrControl(first), DTR_CONTROL_ENABLE);
    EXPECT_EQ(DcbRtsControl(first), RTS_CONTROL_ENABLE);

    ASSERT_TRUE(SetState(*a, 4800, 7, ODDPARITY, TWOSTOPBITS, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE));
    a.reset();
    EXPECT_EQ(virt::PeerModemStatus(name), 0u);
    a = OpenCommDevice(name);
    ASSERT_NE(a, nullptr);
    const DCB kept = StateOf(*a);
    EXPECT_EQ(kept.BaudRate, 4800u);
    EXPECT_EQ(kept.ByteSize, 7);
    EXPECT_EQ(kept.Parity, ODDPARITY);
    EXPECT_EQ(kept.StopBits, TWOSTOPBITS);
    // Opening raises the lines those settings enable, and only those.
    EXPECT_EQ(virt::PeerModemStatus(name), MS_CTS_ON);
}

}  // namespace
