// The serial port component: its settings and the DCB built from them, and,
// on virtual null-modem pairs and ptys, opening and closing, reading and
// writing, the events it raises on the GUI thread and the loss of a device.
#include "platform/NetSocket.h"
#include "serial/AfComPort.h"
#include "serial/AfDeviceWatch.h"

#include "serial/AfGuiCalls.h"
#include "tests/serial/CoreTestSupport.h"
#include "tests/serial/GuiTestSupport.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/Ser2net.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QThread>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kalvaro::test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD FastBaud = 921600;

// What a component raises or raised, in order.
struct TEntry {
    std::string What;
    TAfCoreEvent Kind = ckOutputDrained;  // of an OnSyncEvent
    DWORD Data = 0;                       // of OnSyncEvent, OnDataRecived, OnLineError
};

DCB ZeroDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    return dcb;
}

testing::AssertionResult SameDcb(const DCB& expected, const DCB& actual) {
    if (std::memcmp(&expected, &actual, sizeof(DCB)) == 0) return testing::AssertionSuccess();
    const auto* e = reinterpret_cast<const unsigned char*>(&expected);
    const auto* a = reinterpret_cast<const unsigned char*>(&actual);
    auto failure = testing::AssertionFailure();
    for (std::size_t i = 0; i < sizeof(DCB); ++i)
        if (e[i] != a[i]) failure << "byte " << i << ": expected " << int(e[i]) << ", got " << int(a[i]) << "; ";
    return failure;
}

// ---- settings: no device needed ----

class AfComPortSettingsTest : public testing::Test {
protected:
    AfComPortSettingsTest() { Port.setObjectName("Comport1"); }
    TAfComPort Port;
};

TEST_F(AfComPortSettingsTest, NewComponentHasItsInitialValuesAndDcb) {
    EXPECT_FALSE(Port.AutoOpen());
    EXPECT_EQ(Port.BaudRate(), br115200);
    EXPECT_EQ(Port.ComNumber(), 0);
    EXPECT_EQ(Port.Databits(), db8);
    EXPECT_TRUE(Port.DTR());
    EXPECT_EQ(Port.EventThreadPriority(), tpNormal);
    EXPECT_EQ(Port.FlowControl(), fwNone);
    EXPECT_EQ(Port.InBufSize(), 4096);
    EXPECT_TRUE(Port.Options().Empty());
    EXPECT_EQ(Port.OutBufSize(), 2048);
    EXPECT_EQ(Port.Parity(), paNone);
    EXPECT_TRUE(Port.RTS());
    EXPECT_EQ(Port.Stopbits(), sbOne);
    EXPECT_EQ(Port.UserBaudRate(), 0);
    EXPECT_EQ(Port.WriteThreadPriority(), tpHighest);
    EXPECT_EQ(Port.XOnChar(), 17);
    EXPECT_EQ(Port.XOffChar(), 19);
    EXPECT_EQ(Port.XOnLim(), 0);
    EXPECT_EQ(Port.XOffLim(), 0);
    EXPECT_EQ(brUser, 15);
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_EQ(Port.SettingsText(), "COM0: 115200,N,8,1");

    DCB expected = ZeroDcb();
    expected.DCBlength = 28;
    expected.BaudRate = 115200;
    SetDcbFlags(expected, 0x1011);  // fBinary, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE
    expected.ByteSize = 8;
    expected.XonChar = 17;
    expected.XoffChar = 19;
    EXPECT_TRUE(SameDcb(expected, Port.Dcb()));
}

TEST_F(AfComPortSettingsTest, ClosedPortGivesNothingAndRefusesWrites) {
    EXPECT_EQ(Port.ReadAvailable(), "");
    EXPECT_EQ(Port.InCount(), 0);
    EXPECT_EQ(Port.OutFree(), 0);
    for (int line = 0; line <= 5; ++line) EXPECT_FALSE(Port.ModemLineSet(line)) << "line " << line;
    EXPECT_EQ(ErrorOf([&] { Port.WriteText(""); }), "(no error)");
    EXPECT_EQ(ErrorOf([&] { Port.WriteText("abcde"); }), "Write data error [requested: 5, free: 0] - Comport1 ");
    try {
        Port.WriteText("x");
        FAIL() << "no error";
    } catch (const EAfComPortError&) {
    }
}

TEST_F(AfComPortSettingsTest, OpeningComZeroFailsAndLeavesThePortClosed) {
    int opened = 0;
    Port.OnPortOpen = [&](QObject*) { ++opened; };
    try {
        Port.Open();
        FAIL() << "no error";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Invalid port number (COM0)");
    }
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the hourglass stayed";
}

TEST_F(AfComPortSettingsTest, DcbFollowsFlowControlAndTheOutputLines) {
    struct TRow {
        TAfFlowControl Flow;
        bool Dtr;
        bool Rts;
        DWORD Flags;
    };
    const TRow rows[] = {
        {fwNone, true, true, 0x1011},   {fwNone, false, true, 0x1001},   {fwNone, true, false, 0x0011},
        {fwNone, false, false, 0x0001}, {fwXOnXOff, true, true, 0x1311}, {fwXOnXOff, false, false, 0x0301},
        {fwRtsCts, true, true, 0x2015}, {fwRtsCts, true, false, 0x2015}, {fwRtsCts, false, true, 0x2005},
        {fwDtrDsr, true, true, 0x1029}, {fwDtrDsr, false, true, 0x1029}, {fwDtrDsr, true, false, 0x0029},
    };
    for (const TRow& row : rows) {
        TAfComPort port;
        port.SetDTR(row.Dtr);
        port.SetRTS(row.Rts);
        port.SetFlowControl(row.Flow);
        port.Loaded();  // rebuilds the DCB even when the flow control did not change
        EXPECT_EQ(DcbFlags(port.Dcb()), row.Flags) << "flow " << row.Flow << ", DTR " << row.Dtr << ", RTS " << row.Rts;
    }

    // The lines alone do not rebuild the DCB.
    Port.SetDTR(false);
    Port.SetRTS(false);
    EXPECT_EQ(DcbFlags(Port.Dcb()), 0x1011u);
}

TEST_F(AfComPortSettingsTest, DcbCarriesOptionsAndLineSettings) {
    const std::pair<TAfComOption, DWORD> options[] = {
        {coParityCheck, 0x0002}, {coDsrSensitivity, 0x0040}, {coIgnoreXOff, 0x0080},
        {coErrorChar, 0x0400},   {coStripNull, 0x0800},
    };
    for (const auto& [option, bit] : options) {
        Port.SetOptions({option});
        EXPECT_EQ(DcbFlags(Port.Dcb()), 0x1011u | bit) << "option " << option;
    }
    Port.SetOptions({coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull});
    EXPECT_EQ(DcbFlags(Port.Dcb()), 0x1011u | 0x0CC2u);
    Port.SetOptions({});

    Port.SetBaudRate(br9600);
    Port.SetDatabits(db5);
    Port.SetParity(paMark);
    Port.SetStopbits(sbTwo);
    Port.SetXOnChar('A');
    Port.SetXOffChar('B');
    Port.SetFlowControl(fwXOnXOff);
    DCB expected = ZeroDcb();
    expected.DCBlength = 28;
    expected.BaudRate = 9600;
    SetDcbFlags(expected, 0x1311);
    expected.XonLim = 1024;
    expected.XoffLim = 3072;
    expected.ByteSize = 5;
    expected.Parity = MARKPARITY;
    expected.StopBits = TWOSTOPBITS;
    expected.XonChar = 'A';
    expected.XoffChar = 'B';
    EXPECT_TRUE(SameDcb(expected, Port.Dcb()));

    const std::pair<TAfBaudrate, DWORD> bauds[] = {
        {br110, 110},     {br300, 300},     {br600, 600},       {br1200, 1200},     {br2400, 2400},
        {br4800, 4800},   {br9600, 9600},   {br14400, 14400},   {br19200, 19200},   {br38400, 38400},
        {br56000, 56000}, {br57600, 57600}, {br115200, 115200}, {br128000, 128000}, {br256000, 256000},
    };
    for (const auto& [rate, value] : bauds) {
        Port.SetBaudRate(rate);
        EXPECT_EQ(Port.Dcb().BaudRate, value);
        EXPECT_EQ(Port.BaudValue(), static_cast<std::int32_t>(value));
    }
}

TEST_F(AfComPortSettingsTest, XLimitsFollowTheInputBufferAndFlowControl) {
    Port.SetFlowControl(fwXOnXOff);
    EXPECT_EQ(Port.XOnLim(), 1024);
    EXPECT_EQ(Port.XOffLim(), 3072);
    EXPECT_EQ(Port.Dcb().XonLim, 1024);
    EXPECT_EQ(Port.Dcb().XoffLim, 3072);
    Port.SetFlowControl(fwNone);
    EXPECT_EQ(Port.XOnLim(), 0);
    EXPECT_EQ(Port.XOffLim(), 0);
    Port.SetFlowControl(fwRtsCts);
    EXPECT_EQ(Port.XOnLim(), 1024);

    // The limits themselves do not rebuild the DCB.
    Port.SetXOnLim(100);
    EXPECT_EQ(Port.XOffLim(), 3996);
    EXPECT_EQ(Port.Dcb().XonLim, 1024);
    EXPECT_EQ(Port.Dcb().XoffLim, 3072);
    Port.SetXOffLim(1000);
    EXPECT_EQ(Port.XOnLim(), 3096);

    // Nor does the buffer size, which recomputes them.
    Port.SetInBufSize(8192);
    EXPECT_EQ(Port.XOnLim(), 2048);
    EXPECT_EQ(Port.XOffLim(), 6144);
    EXPECT_EQ(Port.Dcb().XonLim, 1024);
    Port.Loaded();
    EXPECT_EQ(Port.Dcb().XonLim, 2048);
    EXPECT_EQ(Port.Dcb().XoffLim, 6144);

    // Both are kept in 16 bits.
    Port.SetInBufSize(100000);
    EXPECT_EQ(Port.XOnLim(), 25000);
    EXPECT_EQ(Port.XOffLim(), static_cast<std::uint16_t>(75000));
}

TEST_F(AfComPortSettingsTest, AssigningTheCurrentValueDoesNothing) {
    Port.SetXOnLim(100);
    EXPECT_EQ(Port.XOffLim(), 3996);
    EXPECT_EQ(Port.Dcb().XonLim, 0);
    Port.SetParity(paNone);
    Port.SetBaudRate(br115200);
    Port.SetFlowControl(fwNone);
    Port.SetOptions({});
    EXPECT_EQ(Port.Dcb().XonLim, 0) << "an unchanged property rebuilt the DCB";
    EXPECT_EQ(Port.XOnLim(), 100);
    Port.SetParity(paOdd);
    EXPECT_EQ(Port.Dcb().XonLim, 100);
    EXPECT_EQ(Port.Dcb().XoffLim, 3996);
}

TEST_F(AfComPortSettingsTest, BaudRateAndUserBaudRateGoTogether) {
    Port.SetBaudRate(brUser);
    EXPECT_EQ(Port.UserBaudRate(), 0);
    EXPECT_EQ(Port.BaudValue(), 0);
    EXPECT_EQ(Port.Dcb().BaudRate, 0u);

    Port.SetUserBaudRate(57600);
    EXPECT_EQ(Port.BaudRate(), brUser);
    EXPECT_EQ(Port.Dcb().BaudRate, 57600u);
    EXPECT_EQ(Port.SettingsText(), "COM0: 57600,N,8,1");

    Port.SetBaudRate(br9600);
    EXPECT_EQ(Port.UserBaudRate(), 0);
    EXPECT_EQ(Port.Dcb().BaudRate, 9600u);

    Port.SetUserBaudRate(12345);
    Port.SetBaudRate(brUser);
    EXPECT_EQ(Port.UserBaudRate(), 12345);
}

TEST_F(AfComPortSettingsTest, SettingsTextSummarisesTheLine) {
    Port.SetComNumber(1);
    Port.SetBaudRate(br9600);
    EXPECT_EQ(Port.SettingsText(), "COM1: 9600,N,8,1");
    Port.SetComNumber(2);
    Port.SetBaudRate(br115200);
    Port.SetParity(paEven);
    Port.SetDatabits(db7);
    Port.SetStopbits(sbOneAndHalf);
    EXPECT_EQ(Port.SettingsText(), "COM2: 115200,E,7,1.5");
    Port.SetParity(paOdd);
    Port.SetDatabits(db4);
    Port.SetStopbits(sbTwo);
    EXPECT_EQ(Port.SettingsText(), "COM2: 115200,O,4,2");
    Port.SetParity(paMark);
    Port.SetDatabits(db5);
    EXPECT_EQ(Port.SettingsText(), "COM2: 115200,M,5,2");
    Port.SetParity(paSpace);
    Port.SetDatabits(db6);
    EXPECT_EQ(Port.SettingsText(), "COM2: 115200,S,6,2");
}

// ---- on a virtual null-modem pair ----

// A virtual cable whose end A stands behind a COM number and whose end B the
// test holds open, as the far side of the line.
class TVirtualCable {
public:
    TVirtualCable() : pair_(FreshPairName("comport")) {
        peer_ = afp::OpenVirtualCommDevice(EndB());
        EXPECT_TRUE(peer_ && ApplyEngineSettings(*peer_, EngineDcb(FastBaud)));
    }
    ~TVirtualCable() {
        peer_.reset();
        afp::virt::Refuse(EndA(), afp::virt::TRefusable::SetCommState, false);
        afp::virt::Refuse(EndA(), afp::virt::TRefusable::SetCommMask, false);
        afp::virt::Plug(EndA());
    }
    std::string EndA() const { return afp::virt::EndName(pair_, afp::virt::TEnd::A); }
    std::string EndB() const { return afp::virt::EndName(pair_, afp::virt::TEnd::B); }
    afp::TCommDevice& Peer() { return *peer_; }
    void Write(const std::string& text) {
        TOverlappedWrite write(*peer_, BytesOf(text));
        write.Start();
        EXPECT_TRUE(write.Finish());
    }
    std::string Read(std::size_t count, milliseconds limit = ShortLimit) {
        const Bytes bytes = ReadFromDevice(*peer_, count, limit);
        return std::string(bytes.begin(), bytes.end());
    }
    // Our end is free: nobody holds it open.
    bool EndAIsFree() const { return afp::OpenVirtualCommDevice(EndA()) != nullptr; }

private:
    std::string pair_;
    std::unique_ptr<afp::TCommDevice> peer_;
};

class AfComPortTest : public testing::Test {
protected:
    void SetUp() override {
        MapPorts({{1, Cable.EndA()}, {2, Other.EndA()}});
        Port = MakePort();
    }
    void TearDown() override {
        Port.reset();
        ResetSettings();
    }

    std::unique_ptr<TAfComPort> MakePort() {
        auto port = std::make_unique<TAfComPort>();
        port->setObjectName("Comport1");
        port->SetBaudRate(br256000);
        port->SetComNumber(1);
        TAfComPort* sender = port.get();
        auto notify = [this, sender](const char* what) {
            return [this, sender, what](QObject* from) {
                EXPECT_EQ(from, sender);
                Record({what});
            };
        };
        port->OnCTSChanged = notify("CTS");
        port->OnDSRChanged = notify("DSR");
        port->OnRINGDetected = notify("RING");
        port->OnRLSDChanged = notify("RLSD");
        port->OnOutBufFree = notify("OutBufFree");
        port->OnPortOpen = notify("PortOpen");
        port->OnPortClose = notify("PortClose");
        port->OnDataRecived = [this](QObject*, std::int32_t count) {
            Record({.What = "Data", .Data = static_cast<DWORD>(count)});
        };
        port->OnLineError = [this](QObject*, DWORD errors) { Record({.What = "LineError", .Data = errors}); };
        port->OnSyncEvent = [this](QObject*, TAfCoreEvent kind, DWORD data) {
            Record({.What = "Sync", .Kind = kind, .Data = data});
        };
        port->Loaded();
        return port;
    }

    void Record(TEntry entry) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++OffGuiThread;
        Log.push_back(std::move(entry));
    }
    std::size_t Count(const std::string& what) const {
        std::size_t n = 0;
        for (const TEntry& entry : Log) n += entry.What == what;
        return n;
    }
    bool Saw(const std::string& what) const { return Count(what) > 0; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const TEntry& entry : Log) names.push_back(entry.What);
        return names;
    }
    // Each `what` came right after the OnSyncEvent of a comm event with bit
    // in its mask, or after another event of that same mask.
    testing::AssertionResult EachAfterItsSyncEvent(const std::string& what, DWORD bit) const {
        const TEntry* lastSync = nullptr;
        std::size_t seen = 0;
        for (const TEntry& entry : Log) {
            if (entry.What == "Sync") lastSync = &entry;
            if (entry.What != what) continue;
            ++seen;
            if (!lastSync || lastSync->Kind != ckCommEvent || !(lastSync->Data & bit))
                return testing::AssertionFailure() << what << " without the OnSyncEvent of its mask before it";
        }
        if (seen == 0) return testing::AssertionFailure() << "no " << what;
        return testing::AssertionSuccess();
    }
    // Serves deliveries as a thread wait does, leaving the GUI's posted
    // calls (a scheduled close among them) queued, until the loss of the
    // device has been delivered.
    bool ServeUntilLossDelivered() {
        return WaitUntil([&] {
            if (afp::WaitForEvent(AfGuiCalls()->CallsPending(), 0)) AfGuiCalls()->ServePendingCalls();
            for (const TEntry& entry : Log)
                if (entry.What == "Sync" && entry.Kind == ckDeviceLost) return true;
            return false;
        });
    }
    std::string ReadUntil(std::size_t count) {
        std::string received;
        PumpUntil([&] {
            received += Port->ReadAvailable();
            return received.size() >= count;
        });
        return received;
    }

    TVirtualCable Cable;
    TVirtualCable Other;
    std::unique_ptr<TAfComPort> Port;
    std::vector<TEntry> Log;
    int OffGuiThread = 0;
    TErrorBoxes Boxes;
};

TEST_F(AfComPortTest, OpenAndCloseFireTheirEventsOnce) {
    Port->Open();
    EXPECT_TRUE(Port->IsOpen());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the hourglass stayed";
    EXPECT_FALSE(Cable.EndAIsFree());
    Port->Open();
    EXPECT_EQ(Count("PortOpen"), 1u) << "Open on an open port fired again";

    Port->Close();
    EXPECT_FALSE(Port->IsOpen());
    EXPECT_TRUE(Cable.EndAIsFree());
    Port->Close();
    EXPECT_EQ(Count("PortClose"), 2u) << "Close on a closed port fires too";

    Port->SetOpen(true);
    EXPECT_TRUE(Port->IsOpen());
    Port->SetOpen(false);
    EXPECT_FALSE(Port->IsOpen());
    EXPECT_EQ(Names(), (std::vector<std::string>{"PortOpen", "PortClose", "PortClose", "PortOpen", "PortClose"}));
}

TEST_F(AfComPortTest, FailedOpenLeavesThePortClosedAndALaterOpenWorks) {
    afp::virt::Refuse(Cable.EndA(), afp::virt::TRefusable::SetCommMask, true);
    EXPECT_EQ(ErrorOf([&] { Port->Open(); }), " Error setting EventMask");
    EXPECT_FALSE(Port->IsOpen());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the hourglass stayed";
    EXPECT_TRUE(Cable.EndAIsFree());
    afp::virt::Refuse(Cable.EndA(), afp::virt::TRefusable::SetCommMask, false);

    Port->Open();
    EXPECT_TRUE(Port->IsOpen());
    EXPECT_EQ(Names(), std::vector<std::string>{"PortOpen"});
}

TEST_F(AfComPortTest, NewComNumberOnAnOpenPortReopensOnTheNewDevice) {
    Port->Open();
    Log.clear();
    Port->SetComNumber(2);
    EXPECT_EQ(Names(), (std::vector<std::string>{"PortClose", "PortOpen"}));
    EXPECT_TRUE(Port->IsOpen());
    EXPECT_TRUE(Cable.EndAIsFree());
    EXPECT_FALSE(Other.EndAIsFree());

    // A number without a device: the port ends closed, the number is kept.
    EXPECT_EQ(ErrorOf([&] { Port->SetComNumber(9); }), "Invalid port number (COM9)");
    EXPECT_FALSE(Port->IsOpen());
    EXPECT_EQ(Port->ComNumber(), 9);

    // On a closed port the number is only stored.
    Log.clear();
    Port->SetComNumber(1);
    EXPECT_TRUE(Log.empty());
    EXPECT_FALSE(Port->IsOpen());
}

TEST_F(AfComPortTest, BufferSizesCannotChangeWhileOpen) {
    Port->Open();
    EXPECT_EQ(ErrorOf([&] { Port->SetInBufSize(8192); }), "Port is not closed - Comport1 ");
    EXPECT_EQ(ErrorOf([&] { Port->SetOutBufSize(100); }), "Port is not closed - Comport1 ");
    EXPECT_EQ(ErrorOf([&] { Port->SetInBufSize(4096); }), "(no error)");
    EXPECT_EQ(Port->InBufSize(), 4096);
    EXPECT_EQ(Port->OutBufSize(), 2048);
    Port->Close();
    Port->SetOutBufSize(100);
    Port->Open();
    EXPECT_EQ(Port->OutFree(), 100);
}

TEST_F(AfComPortTest, WritesGoOutWholeOrNotAtAll) {
    Port->Open();
    EXPECT_EQ(Port->OutFree(), 2048);
    EXPECT_EQ(ErrorOf([&] { Port->WriteText(std::string(3000, 'x')); }),
              "Write data error [requested: 3000, free: 2048] - Comport1 ");
    EXPECT_EQ(Port->OutFree(), 2048);
    Port->WriteText("");
    EXPECT_EQ(Port->OutFree(), 2048);

    Port->WriteText(std::string("he\0lo", 5));
    EXPECT_EQ(Cable.Read(5), std::string("he\0lo", 5));
    EXPECT_TRUE(PumpUntil([&] { return Saw("OutBufFree"); }));
    for (std::size_t i = 0; i < Log.size(); ++i) {
        if (Log[i].What != "OutBufFree") continue;
        ASSERT_GT(i, 0u);
        EXPECT_EQ(Log[i - 1].What, "Sync");
        EXPECT_EQ(Log[i - 1].Kind, ckOutputDrained);
    }
    EXPECT_EQ(Cable.Read(1, 200ms), "") << "bytes of the refused write went out";
    EXPECT_EQ(OffGuiThread, 0);
}

TEST_F(AfComPortTest, ArrivingBytesAreAnnouncedAndRead) {
    Port->Open();
    Cable.Write("hello world");
    // Announced as they arrive, then again by the idle poll while unread.
    const auto announcedBy = [&](TAfCoreEvent kind) {
        for (std::size_t i = 1; i < Log.size(); ++i)
            if (Log[i].What == "Data" && Log[i - 1].What == "Sync" && Log[i - 1].Kind == kind) return &Log[i];
        return static_cast<TEntry*>(nullptr);
    };
    ASSERT_TRUE(PumpUntil([&] { return announcedBy(ckCommEvent) && announcedBy(ckDataWaiting); }));
    EXPECT_GT(announcedBy(ckCommEvent)->Data, 0u);
    EXPECT_EQ(announcedBy(ckDataWaiting)->Data, 11u);
    EXPECT_EQ(Port->InCount(), 11);
    EXPECT_EQ(ReadUntil(11), "hello world");
    EXPECT_EQ(Port->InCount(), 0);

    // Read with their times, the oldest first and a part at a time.
    const afp::TArrivalTime sent = afp::ArrivalNow();
    Cable.Write("again");
    ASSERT_TRUE(PumpUntil([&] { return Port->InCount() == 5; }));
    afp::TArrivalChunks chunks{{9, 0}};
    std::string timed;
    for (const std::int32_t limit : {3, 100}) {
        const std::string part = Port->ReadAvailable(limit, chunks);
        std::uint32_t covered = 0;
        for (const afp::TArrivalChunk& chunk : chunks) {
            covered += chunk.Count;
            EXPECT_GE(chunk.Time, sent);
            EXPECT_LE(chunk.Time, afp::ArrivalNow());
        }
        EXPECT_EQ(covered, part.size());
        timed += part;
    }
    EXPECT_EQ(timed, "again");
    EXPECT_EQ(Port->ReadAvailable(100, chunks), "");
    EXPECT_TRUE(chunks.empty());
    for (std::size_t i = 0; i < Log.size(); ++i) {
        if (Log[i].What != "Data") continue;
        ASSERT_GT(i, 0u);
        EXPECT_EQ(Log[i - 1].What, "Sync");
    }
    EXPECT_EQ(OffGuiThread, 0);
}

TEST_F(AfComPortTest, LineChangesArriveOnTheGuiThreadAfterTheirSyncEvent) {
    Port->Open();
    ASSERT_TRUE(PumpUntil([&] { return Port->ModemLineSet(1) && Port->ModemLineSet(2) && Port->ModemLineSet(4); }));

    Cable.Peer().EscapeCommFunction(CLRRTS);
    EXPECT_TRUE(PumpUntil([&] { return Saw("CTS"); }));
    EXPECT_FALSE(Port->ModemLineSet(1));
    Cable.Peer().EscapeCommFunction(CLRDTR);
    EXPECT_TRUE(PumpUntil([&] { return Saw("DSR") && Saw("RLSD"); }));
    EXPECT_FALSE(Port->ModemLineSet(2));
    EXPECT_FALSE(Port->ModemLineSet(4));
    afp::virt::Ring(Cable.EndA());
    EXPECT_TRUE(PumpUntil([&] { return Saw("RING"); }));
    afp::virt::InjectLineErrors(Cable.EndA(), CE_FRAME | CE_RXPARITY);
    EXPECT_TRUE(PumpUntil([&] { return Saw("LineError"); }));

    EXPECT_TRUE(EachAfterItsSyncEvent("CTS", EV_CTS));
    EXPECT_TRUE(EachAfterItsSyncEvent("DSR", EV_DSR));
    EXPECT_TRUE(EachAfterItsSyncEvent("RLSD", EV_RLSD));
    EXPECT_TRUE(EachAfterItsSyncEvent("RING", EV_RING));
    EXPECT_TRUE(EachAfterItsSyncEvent("LineError", EV_ERR));
    for (const TEntry& entry : Log) {
        if (entry.What == "LineError") {
            EXPECT_EQ(entry.Data, CE_FRAME | CE_RXPARITY);
        }
    }
    EXPECT_EQ(OffGuiThread, 0);
}

TEST_F(AfComPortTest, OwnLinesFollowDtrAndRts) {
    const auto peerSees = [&](DWORD bits) { return (afp::virt::PeerModemStatus(Cable.EndA()) & bits) == bits; };
    Port->Open();
    EXPECT_TRUE(peerSees(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
    Port->SetRTS(false);
    EXPECT_FALSE(peerSees(MS_CTS_ON));
    Port->SetDTR(false);
    EXPECT_FALSE(peerSees(MS_DSR_ON));
    EXPECT_EQ(DcbFlags(Port->Dcb()), 0x1011u) << "the lines rebuilt the DCB";
    Port->SetDTR(true);
    EXPECT_TRUE(peerSees(MS_DSR_ON));
    Port->SetDTR(false);

    // The next open hands over the DCB as last built: both lines come up.
    Port->Close();
    Port->Open();
    EXPECT_TRUE(peerSees(MS_CTS_ON | MS_DSR_ON));

    // Until something rebuilds it.
    Port->Close();
    Port->SetParity(paEven);
    Port->Open();
    EXPECT_FALSE(peerSees(MS_CTS_ON));
    EXPECT_FALSE(peerSees(MS_DSR_ON));
}

TEST_F(AfComPortTest, RefusedDcbKeepsThePortOpenWithTheDevicesSettings) {
    Port->Open();
    afp::virt::Refuse(Cable.EndA(), afp::virt::TRefusable::SetCommState, true);
    try {
        Port->SetParity(paEven);
        FAIL() << "no error";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Error setting parameters from DCB");
    }
    EXPECT_TRUE(Port->IsOpen());
    EXPECT_EQ(Port->Parity(), paEven);
    EXPECT_EQ(Port->Dcb().Parity, NOPARITY) << "Dcb does not hold the device's settings";
    EXPECT_EQ(Port->Dcb().BaudRate, 256000u);

    afp::virt::Refuse(Cable.EndA(), afp::virt::TRefusable::SetCommState, false);
    Port->SetStopbits(sbTwo);
    EXPECT_EQ(Port->Dcb().Parity, EVENPARITY);
    EXPECT_EQ(Port->Dcb().StopBits, TWOSTOPBITS);
}

TEST_F(AfComPortTest, NonSyncHandlerRunsOnTheEventThreadInsteadOfDelivery) {
    std::mutex lock;
    std::vector<std::pair<DWORD, std::thread::id>> seen;
    Port->OnNonSyncEvent = [&](QObject* sender, TAfCoreEvent kind, DWORD data) {
        EXPECT_EQ(sender, Port.get());
        std::lock_guard guard(lock);
        if (kind == ckCommEvent) seen.emplace_back(data, std::this_thread::get_id());
    };
    Port->Open();
    Cable.Peer().EscapeCommFunction(CLRRTS);
    // Waiting without serving the GUI thread: nothing is delivered to it.
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard guard(lock);
        for (const auto& [mask, thread] : seen)
            if (mask & EV_CTS) return true;
        return false;
    }));
    {
        std::lock_guard guard(lock);
        for (const auto& [mask, thread] : seen) EXPECT_NE(thread, std::this_thread::get_id());
    }
    Port->Close();
    PumpFor(50ms);
    EXPECT_FALSE(Saw("CTS"));
    EXPECT_FALSE(Saw("Sync"));
}

TEST_F(AfComPortTest, AnErrorOnTheEventThreadIsShownOnTheGuiThread) {
    std::atomic<bool> failed{false};
    Port->OnNonSyncEvent = [&](QObject*, TAfCoreEvent kind, DWORD) {
        if (kind == ckCommEvent && !failed.exchange(true)) throw EAfSerialError("Handler failed");
    };
    Port->Open();
    Cable.Peer().EscapeCommFunction(CLRRTS);
    ASSERT_TRUE(PumpUntil([&] { return !Boxes.Texts.empty(); }));
    EXPECT_EQ(Boxes.Texts, QStringList{"Handler failed."});
    EXPECT_TRUE(Saw("Sync"));
    EXPECT_EQ(Log.back().Kind, ckThreadException);
    EXPECT_TRUE(Port->IsOpen());
    EXPECT_EQ(OffGuiThread, 0);
}

TEST_F(AfComPortTest, LineEventRaisedDuringCloseIsDropped) {
    Port->Open();
    ASSERT_TRUE(PumpUntil([&] { return Port->ModemLineSet(1); }));
    Log.clear();
    Cable.Peer().EscapeCommFunction(CLRRTS);
    // The event thread now waits in a delivery that the GUI thread has not served.
    ASSERT_TRUE(afp::WaitForEvent(AfGuiCalls()->CallsPending(), 5000));
    Port->Close();
    PumpFor(100ms);
    EXPECT_EQ(Names(), std::vector<std::string>{"PortClose"});
}

TEST_F(AfComPortTest, LoadedOpensWhenAutoOpenIsSet) {
    auto port = std::make_unique<TAfComPort>();
    port->SetComNumber(1);
    port->SetAutoOpen(true);
    int opened = 0;
    port->OnPortOpen = [&](QObject*) { ++opened; };
    EXPECT_FALSE(port->IsOpen());
    port->Loaded();
    EXPECT_TRUE(port->IsOpen());
    EXPECT_EQ(opened, 1);
}

TEST_F(AfComPortTest, DestroyingAnOpenPortClosesItWithoutPortClose) {
    Port->Open();
    ASSERT_TRUE(PumpUntil([&] { return Port->ModemLineSet(1); }));
    Log.clear();
    // Even with a delivery in flight.
    Cable.Peer().EscapeCommFunction(CLRRTS);
    ASSERT_TRUE(afp::WaitForEvent(AfGuiCalls()->CallsPending(), 5000));
    Port.reset();
    EXPECT_TRUE(Cable.EndAIsFree());
    PumpFor(100ms);
    EXPECT_EQ(Names(), std::vector<std::string>{});
}

TEST_F(AfComPortTest, LostDeviceClosesThePortAndTellsOnce) {
    Port->Open();
    Log.clear();
    afp::virt::Unplug(Cable.EndA());
    ASSERT_TRUE(PumpUntil([&] { return !Port->IsOpen(); }));
    ASSERT_TRUE(PumpUntil([&] { return !Boxes.Texts.empty(); }));
    PumpFor(300ms);
    EXPECT_EQ(Boxes.Texts, QStringList{"Device COM1 is no longer available - Comport1 "});
    EXPECT_EQ(Boxes.Captions, QStringList{"Kalvaro"});
    EXPECT_EQ(Count("PortClose"), 1u);
    bool lostSeen = false;
    for (const TEntry& entry : Log) lostSeen |= entry.What == "Sync" && entry.Kind == ckDeviceLost;
    EXPECT_TRUE(lostSeen) << "OnSyncEvent did not see the loss";

    // Back again: the port opens and works.
    afp::virt::Plug(Cable.EndA());
    Port->Open();
    EXPECT_TRUE(Port->IsOpen());
    Cable.Write("again");
    EXPECT_EQ(ReadUntil(5), "again");
    EXPECT_EQ(Boxes.Texts.size(), 1);
    EXPECT_EQ(OffGuiThread, 0);
}

TEST_F(AfComPortTest, LostDeviceClosesThePortEvenWithANonSyncHandler) {
    std::atomic<int> nonSyncLosses{0};
    Port->OnNonSyncEvent = [&](QObject*, TAfCoreEvent kind, DWORD) { nonSyncLosses += kind == ckDeviceLost; };
    Port->Open();
    afp::virt::Unplug(Cable.EndA());
    ASSERT_TRUE(PumpUntil([&] { return !Port->IsOpen() && !Boxes.Texts.empty(); }));
    PumpFor(100ms);
    EXPECT_EQ(Boxes.Texts, QStringList{"Device COM1 is no longer available - Comport1 "});
    EXPECT_EQ(nonSyncLosses.load(), 0);
}

TEST_F(AfComPortTest, LostDeviceOfAPortClosedOrReopenedMeanwhileIsLeftAlone) {
    Port->Open();
    afp::virt::Unplug(Cable.EndA());
    ASSERT_TRUE(ServeUntilLossDelivered());
    Port->Close();
    PumpFor(200ms);
    EXPECT_EQ(Count("PortClose"), 1u);

    afp::virt::Plug(Cable.EndA());
    Port->Open();
    Log.clear();
    afp::virt::Unplug(Cable.EndA());
    ASSERT_TRUE(ServeUntilLossDelivered());
    Port->Close();
    afp::virt::Plug(Cable.EndA());
    Port->Open();
    PumpFor(200ms);
    EXPECT_TRUE(Port->IsOpen()) << "a stale close closed the reopened port";
    EXPECT_EQ(Count("PortClose"), 1u);
    EXPECT_TRUE(Boxes.Texts.empty()) << Boxes.Texts.join("|").toStdString();
}

TEST_F(AfComPortTest, LostDeviceOfADestroyedPortIsForgotten) {
    Port->Open();
    afp::virt::Unplug(Cable.EndA());
    ASSERT_TRUE(ServeUntilLossDelivered());
    Port.reset();
    PumpFor(100ms);
    EXPECT_TRUE(Boxes.Texts.empty()) << Boxes.Texts.join("|").toStdString();
    EXPECT_EQ(Count("PortClose"), 0u);
}

// ---- on a pty pair ----

class AfComPortPtyTest : public testing::Test {
protected:
    void SetUp() override {
        MapPorts({{1, Pty.SlavePath()}});
        Port.setObjectName("Comport1");
        Port.SetComNumber(1);
    }
    void TearDown() override { ResetSettings(); }

    TPtyPair Pty;
    TAfComPort Port;
    TErrorBoxes Boxes;
};

TEST_F(AfComPortPtyTest, BytesCrossBothWaysAtAUserBaudRate) {
    int announced = 0;
    Port.OnDataRecived = [&](QObject*, std::int32_t count) { announced += count > 0; };
    Port.SetUserBaudRate(12345);
    Port.Open();
    ASSERT_TRUE(Port.IsOpen());
    for (int line = 1; line <= 4; ++line) EXPECT_FALSE(Port.ModemLineSet(line)) << "a pty has no modem lines";

    Port.WriteText("ping");
    const std::vector<unsigned char> out = Pty.Read(4);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ping");

    Pty.Write("pong");
    std::string received;
    EXPECT_TRUE(PumpUntil([&] {
        if (announced > 0) received += Port.ReadAvailable();
        return received.size() >= 4;
    }));
    EXPECT_EQ(received, "pong");
}

// A pty carries bytes, not frames: it keeps CS8 without parity whatever is
// asked, which is no reason to refuse it. Only what no serial line can do
// (2 stop bits with 5 data bits, 1.5 with more) is refused.
TEST_F(AfComPortPtyTest, EveryFramingOpensAndEachFieldChangesAlone) {
    for (const TAfDatabits bits : {db5, db6, db7, db8}) {
        for (const TAfParity parity : {paNone, paOdd, paEven, paMark, paSpace}) {
            for (const TAfStopbits stops : {sbOne, sbOneAndHalf, sbTwo}) {
                SCOPED_TRACE(testing::Message()
                             << "data bits " << 4 + bits << ", parity " << parity << ", stop bits " << stops);
                TPtyPair fresh;
                MapPorts({{1, fresh.SlavePath()}});
                TAfComPort port;
                port.SetComNumber(1);
                port.SetDatabits(bits);
                port.SetParity(parity);
                port.SetStopbits(stops);
                const bool lineCanDoIt = stops == sbOneAndHalf ? bits == db5 : !(stops == sbTwo && bits == db5);
                EXPECT_EQ(ErrorOf([&] { port.Open(); }),
                          lineCanDoIt ? "(no error)" : "Error setting parameters from DCB");
                EXPECT_EQ(port.IsOpen(), lineCanDoIt);
            }
        }
    }

    MapPorts({{1, Pty.SlavePath()}});
    Port.SetBaudRate(br115200);
    Port.SetParity(paEven);
    Port.SetDatabits(db7);
    EXPECT_EQ(ErrorOf([&] { Port.Open(); }), "(no error)") << "115200,E,7,1";
    Port.Close();
    Port.SetBaudRate(br9600);
    Port.SetParity(paNone);
    Port.SetDatabits(db8);
    Port.Open();
    ASSERT_TRUE(Port.IsOpen());
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"7 data bits", [&] { Port.SetDatabits(db7); }},  {"back to 8", [&] { Port.SetDatabits(db8); }},
        {"6 data bits", [&] { Port.SetDatabits(db6); }},  {"back to 8", [&] { Port.SetDatabits(db8); }},
        {"even parity", [&] { Port.SetParity(paEven); }}, {"no parity", [&] { Port.SetParity(paNone); }},
        {"odd parity", [&] { Port.SetParity(paOdd); }},   {"space parity", [&] { Port.SetParity(paSpace); }},
        {"no parity", [&] { Port.SetParity(paNone); }},   {"2 stop bits", [&] { Port.SetStopbits(sbTwo); }},
    };
    for (const auto& [name, change] : changes) {
        EXPECT_EQ(ErrorOf(change), "(no error)") << name;
        EXPECT_TRUE(Port.IsOpen()) << name;
    }
}

TEST_F(AfComPortPtyTest, LostDeviceClosesThePortAndTellsOnce) {
    int closes = 0;
    Port.OnPortClose = [&](QObject*) { ++closes; };
    Port.Open();
    Pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !Port.IsOpen() && !Boxes.Texts.empty(); }));
    PumpFor(300ms);
    EXPECT_EQ(Boxes.Texts, QStringList{"Device COM1 is no longer available - Comport1 "});
    EXPECT_EQ(closes, 1);
}

// The same pty served by ser2net: the server killed while the port sends is
// a lost device, told once; the port waits for it and opens again by itself
// once ser2net is back, without a word about the attempts meanwhile.
TEST_F(AfComPortPtyTest, LostNetworkServerClosesThePortTellsOnceAndTheSameNumberOpensOnceItIsBack) {
    TSer2net ser2net(Pty.SlavePath());
    ASSERT_TRUE(ser2net.Running()) << ser2net.Problem();
    MapPorts({{1, ser2net.Address()}});
    TAfDeviceWatch watch;
    Port.SetDeviceWatch(&watch);
    int closes = 0;
    Port.OnPortClose = [&](QObject*) { ++closes; };
    Port.Open();
    ASSERT_TRUE(Port.IsOpen());
    Pty.Write("over the network");
    std::string received;
    EXPECT_TRUE(PumpUntil([&] { return (received += Port.ReadAvailable()).size() >= 16; }));
    EXPECT_EQ(received, "over the network");

    Port.WriteText(std::string(2000, 'x'));
    ser2net.Kill();
    ASSERT_TRUE(PumpUntil([&] { return !Port.IsOpen() && !Boxes.Texts.empty(); }));
    EXPECT_TRUE(Port.WaitingForDevice());
    PumpFor(600ms);  // attempts on a server that is not there
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_EQ(Boxes.Texts, QStringList{"Device COM1 is no longer available - Comport1 "});
    EXPECT_EQ(closes, 1);

    Pty.Read(2u << 20, 200ms);  // what the killed server had passed on
    ASSERT_TRUE(ser2net.Start()) << ser2net.Problem();
    ASSERT_TRUE(PumpUntil([&] { return Port.IsOpen(); }));
    Pty.Write("again");
    received.clear();
    EXPECT_TRUE(PumpUntil([&] { return (received += Port.ReadAvailable()).size() >= 5; }));
    EXPECT_EQ(received, "again");
    EXPECT_EQ(Boxes.Texts.size(), 1);
}

// A lost network port whose server takes the connection and never answers:
// each attempt to reopen runs into the open's limit, so the next waits four
// times as long, and the GUI thread is not held most of the time.
TEST_F(AfComPortPtyTest, ALostNetworkPortSpacesOutAttemptsThatRunIntoTheOpensLimit) {
    TSer2net ser2net(Pty.SlavePath());
    ASSERT_TRUE(ser2net.Running()) << ser2net.Problem();
    MapPorts({{1, ser2net.Address()}});
    TAfDeviceWatch watch;
    Port.SetDeviceWatch(&watch);
    Port.Open();
    ASSERT_TRUE(Port.IsOpen());
    ser2net.Kill();
    ASSERT_TRUE(PumpUntil([&] { return Port.WaitingForDevice(); }));

    // A server that takes connections on the same port and says nothing.
    const auto silent = afp::TNetListener::Listen(ser2net.Port());
    ASSERT_TRUE(silent);
    std::atomic<bool> stop{false};
    std::atomic<int> connections{0};
    std::thread server([&] {
        std::vector<std::unique_ptr<afp::TNetSocket>> held;
        while (!stop)
            if (auto connection = silent->Accept(100ms)) {
                held.push_back(std::move(connection));
                ++connections;
            }
    });
    // One attempt runs into the 2 s limit; at RetryMs the next would come
    // at once, spaced out it comes only some 8 s later.
    PumpFor(4500ms);
    stop = true;
    server.join();
    EXPECT_EQ(connections.load(), 1);
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_EQ(Boxes.Texts.size(), 1);
}

}  // namespace
}  // namespace kalvaro::test
