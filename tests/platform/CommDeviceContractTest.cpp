// The comm-device contract (CommDevice.h), run unchanged against every
// backend: the platform's own device (a pty slave on Linux, a system COM port
// on a lent null-modem cable on Windows), one end of a virtual null-modem
// pair and a network port on a test RFC 2217 server. The test's side of the cable is a TPeer (ContractPeers.h), so each
// case is written once.
//
// Wine runs the Windows build on Linux ptys, and some of the system's
// behaviour there is not Windows': cases that meet it say so and are skipped
// on Wine's ports only (see docs/windows.md).
#include "platform/CommDevice.h"
#include "tests/platform/ContractPeers.h"
#include "tests/platform/DeviceFixtures.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace kalvaro::test {
namespace {

using afp::LastError;
using afp::TCommDevice;
using std::chrono::milliseconds;

enum class TBackend { Native, Virtual, Network };

std::string BackendName(const testing::TestParamInfo<TBackend>& info) {
    switch (info.param) {
        case TBackend::Native: return NativeBackendName();
        case TBackend::Virtual: return "Virtual";
        case TBackend::Network: return "Network";
    }
    return "";
}

void PrintTo(TBackend backend, std::ostream* out) {
    switch (backend) {
        case TBackend::Native: *out << NativeBackendName(); break;
        case TBackend::Virtual: *out << "virtual pair"; break;
        case TBackend::Network: *out << "network port on a test server"; break;
    }
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class CommDeviceContract : public testing::TestWithParam<TBackend> {
protected:
    void SetUp() override {
        if (GetParam() == TBackend::Native) {
            std::string skipReason;
            cable_ = OpenNativeCable(skipReason);
            if (!cable_) GTEST_SKIP() << skipReason;
        } else {
            cable_ = GetParam() == TBackend::Virtual ? OpenVirtualCable() : OpenNetworkCable();
        }
        ASSERT_TRUE(cable_->Device && cable_->Peer) << cable_->Problem;
        device_ = std::move(cable_->Device);
        peer_ = std::move(cable_->Peer);
    }

    void TearDown() override {
        Close();
        peer_.reset();
        cable_.reset();
    }

    // Wine's serial ports are Linux ptys seen through Wine's own emulation.
    bool OnWinePort() const { return GetParam() == TBackend::Native && RunningUnderWine(); }

    DWORD FastBaud() const { return cable_->FastBaud(); }
    std::unique_ptr<TCommDevice> OpenAgain() const { return cable_->OpenAgain(); }

    testing::AssertionResult Configure(TCommDevice& device) {
        return ApplyEngineSettings(device, EngineDcb(FastBaud()));
    }
    testing::AssertionResult Configure() { return Configure(*device_); }

    // The calls that end what is outstanding, each under a limit of its own.
    bool Purge(DWORD flags) {
        TCallLimit limit(ShortLimit, "PurgeComm");
        return device_->PurgeComm(flags);
    }
    bool ChangeMask(DWORD mask) {
        TCallLimit limit(ShortLimit, "SetCommMask with a comm-event wait outstanding");
        return device_->SetCommMask(mask);
    }
    void Close() {
        TCallLimit limit(ShortLimit, "closing the device");
        device_.reset();
    }

    std::unique_ptr<TCableUnderTest> cable_;
    std::unique_ptr<TCommDevice> device_;
    std::unique_ptr<TPeer> peer_;
};

// ---- settings ----

TEST_P(CommDeviceContract, EngineOpenSequenceIsAcceptedAndReadBack) {
    const COMMTIMEOUTS timeouts = EngineTimeouts();
    ASSERT_TRUE(device_->SetCommTimeouts(timeouts)) << LastError();
    ASSERT_TRUE(device_->SetupComm(8192, 4096)) << LastError();
    ASSERT_TRUE(device_->SetCommMask(EngineEventMask)) << LastError();
    const DCB wanted = EngineDcb(9600);
    ASSERT_TRUE(device_->SetCommState(wanted)) << LastError();

    COMMTIMEOUTS readTimeouts{};
    ASSERT_TRUE(device_->GetCommTimeouts(readTimeouts));
    EXPECT_EQ(readTimeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(readTimeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(readTimeouts.ReadTotalTimeoutConstant, 0u);
    DWORD mask = 0;
    ASSERT_TRUE(device_->GetCommMask(mask));
    EXPECT_EQ(mask, EngineEventMask);

    DCB state{};
    ASSERT_TRUE(device_->GetCommState(state));
    EXPECT_EQ(state.BaudRate, 9600u);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.Parity, NOPARITY);
    EXPECT_EQ(state.StopBits, ONESTOPBIT);
    EXPECT_EQ(DcbFlags(state), DcbFlags(wanted));
    EXPECT_EQ(state.XonChar, wanted.XonChar);
    EXPECT_EQ(state.XoffChar, wanted.XoffChar);

    DWORD errors = 0xFFFF;
    COMSTAT stat{};
    stat.cbInQue = stat.cbOutQue = 1;
    ASSERT_TRUE(device_->ClearCommError(&errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);

    if (OnWinePort()) GTEST_SKIP() << "Wine reads XonLim and XoffLim back as 10, whatever was set";
    EXPECT_EQ(state.XonLim, wanted.XonLim);
    EXPECT_EQ(state.XoffLim, wanted.XoffLim);
}

TEST_P(CommDeviceContract, RefusesReadTimeoutsThatWouldWait) {
    const COMMTIMEOUTS waiting[] = {
        {0, 0, 0, 0, 0},           // blocking reads
        {MAXDWORD, 0, 100, 0, 0},  // a total limit
        {MAXDWORD, 10, 0, 0, 0},   // a per-byte limit
        {50, 0, 0, 0, 0},          // an interval limit
    };
    for (const COMMTIMEOUTS& timeouts : waiting) {
        afp::SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(device_->SetCommTimeouts(timeouts)) << "interval " << timeouts.ReadIntervalTimeout;
        EXPECT_EQ(LastError(), ERROR_NOT_SUPPORTED) << "interval " << timeouts.ReadIntervalTimeout;
    }
    EXPECT_TRUE(device_->SetCommTimeouts(EngineTimeouts())) << LastError();
}

TEST_P(CommDeviceContract, RefusesInvalidLineSettingsAndKeepsTheOldOnes) {
    ASSERT_TRUE(Configure());
    DCB zeroBaud = EngineDcb(9600);
    zeroBaud.BaudRate = 0;
    DCB nineBits = EngineDcb(9600);
    nineBits.ByteSize = 9;
    DCB oneAndHalfStops = EngineDcb(9600);
    oneAndHalfStops.StopBits = ONE5STOPBITS;
    for (const DCB& dcb : {zeroBaud, nineBits, oneAndHalfStops}) {
        afp::SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(device_->SetCommState(dcb));
        EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);
    }
    DCB state{};
    ASSERT_TRUE(device_->GetCommState(state));
    EXPECT_EQ(state.BaudRate, FastBaud());
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.StopBits, ONESTOPBIT);
}

// ---- receiving ----

TEST_P(CommDeviceContract, ReadReturnsAtOnceWhenNothingIsQueued) {
    ASSERT_TRUE(Configure());
    afp::TKernelEvent event(true);
    afp::TOverlapped record{&event};
    BYTE buffer[64];
    DWORD read = 99;
    EXPECT_TRUE(device_->ReadFile(buffer, sizeof buffer, read, record)) << LastError();
    EXPECT_EQ(read, 0u);
}

TEST_P(CommDeviceContract, ReceivedBytesCompleteArmedWaitAndReadBackInOrder) {
    ASSERT_TRUE(Configure());
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();
    EXPECT_FALSE(wait.Signalled(milliseconds(0)));

    ASSERT_TRUE(peer_->Write(BytesOf("hello"), ShortLimit));
    ASSERT_TRUE(wait.Signalled()) << "the wait did not complete when bytes came";
    ASSERT_TRUE(wait.Result()) << LastError();
    EXPECT_TRUE(wait.Mask() & EV_RXCHAR) << "mask " << wait.Mask();
    EXPECT_EQ(wait.Mask() & ~EngineEventMask, 0u) << "mask " << wait.Mask();

    EXPECT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == 5; }))
        << "cbInQue " << QueueStatus(*device_).cbInQue;

    afp::TKernelEvent event(true);
    afp::TOverlapped record{&event};
    BYTE buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(device_->ReadFile(buffer, 2, read, record)) << LastError();
    EXPECT_EQ(std::string(buffer, buffer + read), "he");
    ASSERT_TRUE(device_->ReadFile(buffer, sizeof buffer, read, record)) << LastError();
    EXPECT_EQ(std::string(buffer, buffer + read), "llo");
    EXPECT_EQ(QueueStatus(*device_).cbInQue, 0u);

    DWORD errors = 0;
    ASSERT_TRUE(device_->ClearCommError(&errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_P(CommDeviceContract, TimedReadsTellWhenEachRunArrived) {
    if (GetParam() == TBackend::Native && std::string(NativeBackendName()) == "ComPort")
        GTEST_SKIP() << "the system keeps the input queue: its times are those of the read";
    ASSERT_TRUE(Configure());
    const afp::TArrivalTime before = afp::ArrivalNow();
    ASSERT_TRUE(peer_->Write(BytesOf("one"), ShortLimit));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == 3; }));
    std::this_thread::sleep_for(milliseconds(50));
    const afp::TArrivalTime between = afp::ArrivalNow();
    ASSERT_TRUE(peer_->Write(BytesOf("two"), ShortLimit));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == 6; }));
    const afp::TArrivalTime after = afp::ArrivalNow();

    // A plain read, then timed reads that end inside a run: each byte keeps
    // the time of the run it came in.
    afp::TKernelEvent event(true);
    afp::TOverlapped record{&event};
    BYTE buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(device_->ReadFile(buffer, 1, read, record)) << LastError();
    ASSERT_EQ(read, 1u);
    std::string received(1, static_cast<char>(buffer[0]));
    std::vector<afp::TArrivalTime> times;
    for (const DWORD ask : {3u, 16u}) {
        afp::TArrivalChunks chunks;
        ASSERT_TRUE(device_->ReadFileTimed(buffer, ask, read, record, chunks)) << LastError();
        received.append(buffer, buffer + read);
        DWORD covered = 0;
        for (const afp::TArrivalChunk& chunk : chunks) {
            EXPECT_GT(chunk.Count, 0u);
            covered += chunk.Count;
            times.insert(times.end(), chunk.Count, chunk.Time);
        }
        EXPECT_EQ(covered, read) << "the runs do not add up to the bytes read";
    }
    ASSERT_EQ(received, "onetwo");
    ASSERT_EQ(times.size(), 5u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_GE(times[i], before) << "byte " << i + 1;
        EXPECT_LT(times[i], between) << "byte " << i + 1 << " took the time of its read";
    }
    for (std::size_t i = 2; i < 5; ++i) {
        EXPECT_GE(times[i], between) << "byte " << i + 1;
        EXPECT_LE(times[i], after) << "byte " << i + 1;
    }
}

TEST_P(CommDeviceContract, EventsWhileNoWaitIsArmedAreReportedByTheNextWait) {
    ASSERT_TRUE(Configure());
    ASSERT_TRUE(peer_->Write(BytesOf("x"), ShortLimit));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == 1; }));

    TCommWait wait(*device_);
    ASSERT_TRUE(wait.Start()) << "error " << LastError();
    EXPECT_TRUE(wait.Mask() & EV_RXCHAR) << "mask " << wait.Mask();
    EXPECT_TRUE(wait.Signalled(milliseconds(0)));
    EXPECT_TRUE(wait.Result());

    // The kept event was handed out once.
    if (OnWinePort()) GTEST_SKIP() << "Wine reports EV_RXCHAR to every wait while unread bytes are queued";
    TCommWait next(*device_);
    EXPECT_FALSE(next.Start());
    EXPECT_EQ(LastError(), ERROR_IO_PENDING);
}

TEST_P(CommDeviceContract, MaskChangeCompletesOutstandingWaitWithEmptyMask) {
    ASSERT_TRUE(Configure());
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();

    // The engine's event thread is stopped this way.
    ASSERT_TRUE(ChangeMask(0)) << LastError();
    ASSERT_TRUE(wait.Signalled());
    EXPECT_TRUE(wait.Result()) << LastError();
    EXPECT_EQ(wait.Mask(), 0u);

    // A new mask on an outstanding wait completes it the same way.
    ASSERT_TRUE(device_->SetCommMask(EngineEventMask));
    TCommWait second(*device_);
    ASSERT_TRUE(second.StartOutstanding()) << LastError();
    ASSERT_TRUE(ChangeMask(EV_RXCHAR | EV_ERR));
    ASSERT_TRUE(second.Signalled());
    EXPECT_TRUE(second.Result()) << LastError();
    EXPECT_EQ(second.Mask(), 0u);
}

TEST_P(CommDeviceContract, RefusesWaitWithEmptyMaskOrSecondOutstandingWait) {
    ASSERT_TRUE(Configure());
    ASSERT_TRUE(device_->SetCommMask(0));
    TCommWait withoutMask(*device_);
    EXPECT_FALSE(withoutMask.Start());
    EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(device_->SetCommMask(EngineEventMask));
    TCommWait first(*device_);
    ASSERT_TRUE(first.StartOutstanding()) << LastError();
    TCommWait second(*device_);
    EXPECT_FALSE(second.Start());
    EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER);

    // The refused wait left the first one armed.
    EXPECT_FALSE(first.Signalled(milliseconds(0)));
    ASSERT_TRUE(peer_->Write(BytesOf("z"), ShortLimit));
    ASSERT_TRUE(first.Signalled());
    ASSERT_TRUE(first.Result());
    EXPECT_TRUE(first.Mask() & EV_RXCHAR);
}

TEST_P(CommDeviceContract, SignalledWaitsRecordMayGoWithoutItsOutcome) {
    // Once its event is signalled, a wait's record, event and mask are the
    // caller's again, who may drop them unasked; the next wait's record may
    // well come at the same address. Bytes keep coming, so waits also end
    // while they are being started.
    ASSERT_TRUE(Configure());
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        while (sending && peer_->Write(BytesOf("w"), ShortLimit)) std::this_thread::sleep_for(milliseconds(1));
    });
    afp::TKernelEvent readEvent(true);
    afp::TOverlapped readRecord{&readEvent};
    BYTE buffer[256];
    for (int round = 0; round < 500 && !HasFailure(); ++round) {
        DWORD read = 0;
        while (device_->ReadFile(buffer, sizeof buffer, read, readRecord) && read > 0) {
        }
        auto wait = std::make_unique<TCommWait>(*device_);
        if (wait->Start()) continue;
        EXPECT_EQ(LastError(), ERROR_IO_PENDING) << "round " << round;
        EXPECT_TRUE(wait->Signalled()) << "round " << round;
    }
    sending = false;
    sender.join();
}

TEST_P(CommDeviceContract, InputQueueHoldsOneMebibyteUnread) {
    if (OnWinePort())
        GTEST_SKIP() << "Wine keeps no input queue of its own: unread bytes stay in the pty, which holds 4 KiB";
    ASSERT_TRUE(Configure());
    const Bytes sent = PatternBytes(1u << 20, 7);
    ASSERT_TRUE(peer_->Write(sent, LongLimit)) << "the device did not take 1 MiB off the line";
    EXPECT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == sent.size(); }, LongLimit))
        << "cbInQue " << QueueStatus(*device_).cbInQue;
    DWORD errors = 0;
    ASSERT_TRUE(device_->ClearCommError(&errors, nullptr));
    EXPECT_EQ(errors & CE_RXOVER, 0u);
    EXPECT_TRUE(SameBytes(sent, ReadFromDevice(*device_, sent.size(), LongLimit)));
}

// ---- sending ----

TEST_P(CommDeviceContract, WriteCompletesWhenEveryByteHasLeft) {
    ASSERT_TRUE(Configure());
    TOverlappedWrite write(*device_, PatternBytes(64 * 1024, 11));
    Bytes received;
    std::thread reader([&] { received = peer_->Read(write.Data().size(), LongLimit); });
    const bool done = write.Start();
    EXPECT_TRUE(done || LastError() == ERROR_IO_PENDING) << LastError();
    const bool ok = write.Finish();
    const DWORD error = LastError();
    reader.join();
    EXPECT_FALSE(write.WatchdogFired());
    ASSERT_TRUE(ok) << "error " << error;
    EXPECT_EQ(write.Transferred(), write.Data().size());
    EXPECT_TRUE(SameBytes(write.Data(), received));
    EXPECT_EQ(QueueStatus(*device_).cbOutQue, 0u);
}

TEST_P(CommDeviceContract, BackToBackWritesCompleteInOrder) {
    if (OnWinePort())
        GTEST_SKIP()
            << "Wine does not keep overlapped writes in order: a second write goes on while the first waits for room";
    ASSERT_TRUE(Configure());
    TOverlappedWrite first(*device_, PatternBytes(20000, 3));
    TOverlappedWrite second(*device_, PatternBytes(30000, 5));
    Bytes expected = first.Data();
    expected.insert(expected.end(), second.Data().begin(), second.Data().end());
    Bytes received;
    std::thread reader([&] { received = peer_->Read(expected.size(), LongLimit); });
    EXPECT_TRUE(first.Start() || LastError() == ERROR_IO_PENDING) << LastError();
    EXPECT_TRUE(second.Start() || LastError() == ERROR_IO_PENDING) << LastError();
    const bool firstOk = first.Finish();
    const bool secondOk = second.Finish();
    reader.join();
    EXPECT_TRUE(firstOk);
    EXPECT_TRUE(secondOk);
    EXPECT_EQ(first.Transferred(), first.Data().size());
    EXPECT_EQ(second.Transferred(), second.Data().size());
    EXPECT_TRUE(SameBytes(expected, received));
}

TEST_P(CommDeviceContract, LargeTransferBothWaysKeepsEveryByte) {
    ASSERT_TRUE(Configure());
    constexpr std::size_t Size = 2u << 20;
    const Bytes toDevice = PatternBytes(Size, 101);
    TOverlappedWrite fromDevice(*device_, PatternBytes(Size, 202));

    bool peerWrote = false;
    Bytes peerReceived;
    std::thread peerWriter([&] { peerWrote = peer_->Write(toDevice, LongLimit); });
    std::thread peerReader([&] { peerReceived = peer_->Read(Size, LongLimit); });
    EXPECT_TRUE(fromDevice.Start() || LastError() == ERROR_IO_PENDING) << LastError();
    const Bytes deviceReceived = ReadFromDevice(*device_, Size, LongLimit);
    const bool written = fromDevice.Finish();
    peerWriter.join();
    peerReader.join();

    EXPECT_TRUE(peerWrote);
    EXPECT_TRUE(written) << LastError();
    EXPECT_TRUE(SameBytes(toDevice, deviceReceived)) << "peer to device";
    EXPECT_TRUE(SameBytes(fromDevice.Data(), peerReceived)) << "device to peer";
    DWORD errors = 0;
    ASSERT_TRUE(device_->ClearCommError(&errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

// ---- purging ----

TEST_P(CommDeviceContract, PurgeRxClearEmptiesTheInputQueue) {
    ASSERT_TRUE(Configure());
    ASSERT_TRUE(peer_->Write(PatternBytes(100, 9), ShortLimit));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == 100; }));
    ASSERT_TRUE(Purge(PURGE_RXABORT | PURGE_RXCLEAR)) << LastError();
    EXPECT_EQ(QueueStatus(*device_).cbInQue, 0u);

    afp::TKernelEvent event(true);
    afp::TOverlapped record{&event};
    BYTE buffer[128];
    DWORD read = 99;
    ASSERT_TRUE(device_->ReadFile(buffer, sizeof buffer, read, record));
    EXPECT_EQ(read, 0u);

    // Only what comes afterwards is read, with its own time.
    const afp::TArrivalTime sent = afp::ArrivalNow();
    ASSERT_TRUE(peer_->Write(BytesOf("after"), ShortLimit));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == 5; }));
    afp::TArrivalChunks chunks;
    ASSERT_TRUE(device_->ReadFileTimed(buffer, sizeof buffer, read, record, chunks));
    EXPECT_EQ(std::string(buffer, buffer + read), "after");
    ASSERT_FALSE(chunks.empty());
    EXPECT_GE(chunks.front().Time, sent) << "a purged run's time was left";
    EXPECT_EQ(QueueStatus(*device_).cbInQue, 0u);
}

TEST_P(CommDeviceContract, PurgeAbortsOutstandingWrite) {
    ASSERT_TRUE(Configure());
    peer_->HoldDeviceOutput(true);
    auto write = std::make_unique<TOverlappedWrite>(*device_, PatternBytes(StuckWriteSize, 13));
    ASSERT_FALSE(write->Start());
    ASSERT_EQ(LastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(write->Signalled(milliseconds(0)));
    // Wine counts the output queue with TIOCOUTQ, which a pty answers with 0.
    const bool outQueueSeen = !OnWinePort() && WaitUntil([&] { return QueueStatus(*device_).cbOutQue > 0; });

    ASSERT_TRUE(Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) << LastError();
    ASSERT_TRUE(write->Signalled());
    EXPECT_FALSE(write->Finish());
    EXPECT_EQ(LastError(), ERROR_OPERATION_ABORTED);
    EXPECT_LT(write->Transferred(), StuckWriteSize);
    EXPECT_EQ(QueueStatus(*device_).cbOutQue, 0u);
    // The device no longer touches the buffer: free it at once (address
    // sanitizer builds catch a late access).
    write.reset();

    // The device goes on sending. A pty may still pass on what its kernel
    // took before the purge, so the peer reads until the new bytes show.
    peer_->HoldDeviceOutput(false);
    const Bytes marker = BytesOf("--after the purge--");
    TOverlappedWrite next(*device_, marker);
    EXPECT_TRUE(next.Start() || LastError() == ERROR_IO_PENDING) << LastError();
    Bytes tail;
    const bool markerSeen = WaitUntil(
        [&] {
            const Bytes more = peer_->Read(256 * 1024, milliseconds(50));
            tail.insert(tail.end(), more.begin(), more.end());
            return tail.size() >= marker.size() && std::equal(marker.begin(), marker.end(), tail.end() - marker.size());
        },
        LongLimit);
    EXPECT_TRUE(markerSeen) << tail.size() << " bytes came, not ending in the marker";
    EXPECT_TRUE(next.Finish()) << LastError();

    if (OnWinePort()) GTEST_SKIP() << "the queued output's count: Wine asks the pty, which always answers 0";
    EXPECT_TRUE(outQueueSeen) << "cbOutQue stayed 0 while the write was outstanding";
}

TEST_P(CommDeviceContract, PurgeEndsWriteWhileTheFarEndTakesItsBytes) {
    // The far end reads all along, so the device is woken again and again to
    // pass on more of the write, also just as the purge comes. Aborted, the
    // write has ended: it never goes on to send all its bytes.
    ASSERT_TRUE(Configure());
    std::atomic<bool> draining{true};
    std::thread drain([&] {
        while (draining) peer_->Read(256 * 1024, milliseconds(20));
    });
    const Bytes data = PatternBytes(4u << 20, 23);
    int aborted = 0;
    for (int round = 0; round < 100 && !HasFailure(); ++round) {
        TOverlappedWrite write(*device_, data);
        EXPECT_TRUE(write.Start() || LastError() == ERROR_IO_PENDING) << LastError();
        EXPECT_TRUE(Purge(PURGE_TXABORT | PURGE_TXCLEAR)) << LastError();
        if (!write.Signalled(milliseconds(0))) {
            ADD_FAILURE() << "round " << round << ": the purge left the write outstanding";
            break;
        }
        if (write.Finish()) continue;  // done before the purge came
        ++aborted;
        EXPECT_EQ(LastError(), ERROR_OPERATION_ABORTED) << "round " << round;
        EXPECT_LT(write.Transferred(), data.size()) << "round " << round << ": the aborted write sent every byte";
    }
    draining = false;
    drain.join();
    EXPECT_GT(aborted, 0) << "every write was done before its purge";
}

// ---- modem lines ----

TEST_P(CommDeviceContract, EscapesAndModemStatus) {
    ASSERT_TRUE(Configure());
    for (const DWORD function : {SETRTS, CLRRTS, SETDTR, CLRDTR}) {
        EXPECT_TRUE(device_->EscapeCommFunction(function)) << "function " << function << ": error " << LastError();
    }
    for (const DWORD unknown : {DWORD{0}, DWORD{7}, DWORD{10}, DWORD{0x1234}}) {
        afp::SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(device_->EscapeCommFunction(unknown)) << "function " << unknown;
        EXPECT_EQ(LastError(), ERROR_INVALID_PARAMETER) << "function " << unknown;
    }
    // The far side keeps every line off: a pty has none, the virtual peer
    // was opened with DTR and RTS disabled.
    DWORD status = 0xFFFF;
    EXPECT_TRUE(WaitUntil([&] { return device_->GetCommModemStatus(status) && status == 0; }))
        << "status " << status << ", error " << LastError();
}

// ---- losing and closing the device ----

TEST_P(CommDeviceContract, DeviceLossFailsOutstandingAndLaterOperations) {
    if (!peer_->CanHangUp()) GTEST_SKIP() << "a test cannot pull the cable of a system COM port";
    ASSERT_TRUE(Configure());
    const Bytes before = BytesOf("before the loss");
    ASSERT_TRUE(peer_->Write(before, ShortLimit));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == before.size(); }));

    peer_->HoldDeviceOutput(true);
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();
    TOverlappedWrite write(*device_, PatternBytes(StuckWriteSize, 17));
    ASSERT_FALSE(write.Start());
    ASSERT_EQ(LastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(write.Signalled(milliseconds(0)));

    peer_->HangUp();

    ASSERT_TRUE(wait.Signalled(LongLimit)) << "the wait did not complete on the loss";
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    ASSERT_TRUE(write.Signalled(LongLimit)) << "the write did not complete on the loss";
    EXPECT_FALSE(write.Finish());
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);

    TOverlappedWrite later(*device_, BytesOf("later"));
    EXPECT_FALSE(later.Start());
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    TCommWait laterWait(*device_);
    EXPECT_FALSE(laterWait.Start());
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_FALSE(device_->SetCommState(EngineDcb(FastBaud())));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    EXPECT_FALSE(device_->EscapeCommFunction(SETDTR));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);
    DWORD status = 0;
    EXPECT_FALSE(device_->GetCommModemStatus(status));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);

    // What came before the loss is still there, then reads fail.
    afp::TKernelEvent event(true);
    afp::TOverlapped record{&event};
    BYTE buffer[64] = {};
    DWORD read = 0;
    ASSERT_TRUE(device_->ReadFile(buffer, sizeof buffer, read, record)) << LastError();
    EXPECT_TRUE(SameBytes(before, Bytes(buffer, buffer + read)));
    EXPECT_FALSE(device_->ReadFile(buffer, sizeof buffer, read, record));
    EXPECT_EQ(LastError(), ERROR_BAD_COMMAND);

    // A lost device must not keep a thread busy (a hung-up tty polls
    // readable for ever). A generous bound: this catches spinning, not speed.
    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.3) << "CPU seconds used by an idle lost device in 1 s";
}

TEST_P(CommDeviceContract, DestroyingAbortsOutstandingOperations) {
    ASSERT_TRUE(Configure());
    peer_->HoldDeviceOutput(true);
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding()) << LastError();
    TOverlappedWrite write(*device_, PatternBytes(StuckWriteSize, 19));
    ASSERT_FALSE(write.Start());
    ASSERT_EQ(LastError(), ERROR_IO_PENDING);

    Close();
    wait.Detach();
    write.Detach();
    // Completed before the destructor returned: no waiting here.
    ASSERT_TRUE(wait.Signalled(milliseconds(0)));
    EXPECT_EQ(wait.Overlapped().Status, ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(write.Signalled(milliseconds(0)));
    EXPECT_EQ(write.Overlapped().Status, ERROR_OPERATION_ABORTED);
    EXPECT_LT(write.Overlapped().Transferred, StuckWriteSize);
}

TEST_P(CommDeviceContract, RepeatedOpenAndCloseLeavesNoThreadOrDescriptor) {
    device_.reset();
    {
        auto warmUp = OpenAgain();
        ASSERT_TRUE(warmUp) << LastError();
        ASSERT_TRUE(Configure(*warmUp));
    }
    const std::size_t threads = ThreadCount();
    const std::size_t descriptors = OpenFdCount();
    for (int i = 0; i < 200; ++i) {
        auto device = OpenAgain();
        ASSERT_TRUE(device) << "open " << i << ": error " << LastError();
        ASSERT_TRUE(Configure(*device)) << "open " << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }))
        << ThreadCount() << " threads, " << threads << " before";
    EXPECT_TRUE(WaitUntil([&] { return OpenFdCount() <= descriptors; }))
        << OpenFdCount() << " descriptors, " << descriptors << " before";

    // Still a working device after all that.
    device_ = OpenAgain();
    ASSERT_TRUE(device_) << LastError();
    ASSERT_TRUE(Configure());
    ASSERT_TRUE(peer_->Write(BytesOf("still here"), ShortLimit));
    EXPECT_TRUE(SameBytes(BytesOf("still here"), ReadFromDevice(*device_, 10)));
}

TEST_P(CommDeviceContract, SecondOpenIsRefusedWhileOpen) {
    if (OnWinePort()) GTEST_SKIP() << "Wine opens a port a second time although the first open shares nothing";
    if (GetParam() == TBackend::Network)
        GTEST_SKIP() << "a network port is not held by this machine: its server decides who gets it "
                        "(ser2net's kickolduser hands it to the newest connection)";
    ASSERT_TRUE(Configure());
    afp::SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenAgain(), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);

    // The refused open did not disturb the first.
    ASSERT_TRUE(peer_->Write(BytesOf("first"), ShortLimit));
    EXPECT_TRUE(SameBytes(BytesOf("first"), ReadFromDevice(*device_, 5)));

    device_.reset();
    device_ = OpenAgain();
    EXPECT_TRUE(device_) << "reopening after the close: error " << LastError();
}

INSTANTIATE_TEST_SUITE_P(Backends, CommDeviceContract,
                         testing::Values(TBackend::Native, TBackend::Virtual, TBackend::Network), BackendName);

}  // namespace
}  // namespace kalvaro::test
