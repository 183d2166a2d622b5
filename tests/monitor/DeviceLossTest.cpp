// Port 1's device goes away while bytes pour in: the window stays
// responsive, tells the user once, and either shows the port closed (with
// [Ports] AutoReopen=0, as it always has) or shows it waiting for its device
// and reopens it by itself, with its settings, once the device is back.
//
// A pty cannot come back: once its master is closed the pair is gone for
// good. For a pty, "the device is back" therefore means what it means to a
// user whose adapter got a new device node: a link named in [Ports] (as a
// /dev/serial/by-id name is) that went with the old pty now leads to a new
// one — or, without the link, the settings file maps COM1 to the new pty's
// slave and the port is picked again in its chooser. A virtual end comes
// back under its own name when it is plugged again. USB adapters with serial
// numbers live in a device tree of the test's own making, their nodes links
// to ptys.
#include "platform/CommBackends.h"
#include "platform/PortMap.h"
#include "serial/AfPortControls.h"
#include "tests/monitor/MainWindowFixture.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempFolder.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace {

using namespace kalvaro::test;
namespace fs = std::filesystem;

const QString LostPort1 = "Device COM1 is no longer available - Comport1 ";
const std::string NoAutoReopen = "AutoReopen=0\n";

// Floods a pty master from a thread of its own until Cut, which hangs the
// line up mid-flood: the thread closes the master itself, so no other thread
// touches the descriptor while it writes.
class TPtyFlood {
public:
    explicit TPtyFlood(TPtyPair& pty) : pty_(pty), cut_(eventfd(0, EFD_CLOEXEC)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~TPtyFlood() {
        Cut();
        thread_.join();
        ::close(cut_);
    }
    TPtyFlood(const TPtyFlood&) = delete;
    TPtyFlood& operator=(const TPtyFlood&) = delete;

    void Cut() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(cut_, &one, sizeof one);
    }

private:
    void Run() {
        const Bytes block = PatternBytes(4096, 7);
        for (;;) {
            pollfd fds[2] = {{cut_, POLLIN, 0}, {pty_.MasterFd(), POLLOUT, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[0].revents) break;
            if (::write(pty_.MasterFd(), block.data(), block.size()) < 0 && errno != EAGAIN && errno != EINTR) break;
        }
        pty_.CloseMaster();
    }

    TPtyPair& pty_;
    int cut_;
    std::thread thread_;
};

// Floods from the far end of a virtual cable, from a thread of its own,
// until it goes away. Writes go on after the near end is lost: the cable
// then drops them.
class TVirtualFlood {
public:
    explicit TVirtualFlood(afp::TCommDevice& peer) : peer_(peer) {
        thread_ = std::thread([this] {
            while (!stop_) {
                TOverlappedWrite write(peer_, PatternBytes(4096, 9));
                if (!write.Start() && afp::LastError() != ERROR_IO_PENDING) break;
                if (!write.Finish()) break;
            }
        });
    }
    ~TVirtualFlood() {
        stop_ = true;
        thread_.join();
    }
    TVirtualFlood(const TVirtualFlood&) = delete;
    TVirtualFlood& operator=(const TVirtualFlood&) = delete;

private:
    afp::TCommDevice& peer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Counts the ticks of a 50 ms timer: the GUI thread serves its event loop.
class TTicker {
public:
    TTicker() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { ++Ticks; });
        timer_.start(50);
    }
    int Ticks = 0;

private:
    QTimer timer_;
};

// USB serial adapters of the test's own making: a device tree (sysfs and
// /dev) in which each adapter's node is a link to a pty slave and its USB
// device carries a serial number. The default port map looks at this tree
// while the object lives.
class TFakeAdapters {
public:
    TFakeAdapters() {
        fs::create_directories(ClassTty());
        fs::create_directories(Dev());
        afp::TPortMap::SetDeviceTreeForTests(ClassTty().string(), Dev().string());
    }
    ~TFakeAdapters() { afp::TPortMap::SetDeviceTreeForTests({}, {}); }
    TFakeAdapters(const TFakeAdapters&) = delete;
    TFakeAdapters& operator=(const TFakeAdapters&) = delete;

    // Plugs in an adapter with this serial number as tty; pty is its far end.
    // The node comes last, as on a machine.
    void Plug(const std::string& tty, const std::string& serial, const TPtyPair& pty) {
        const fs::path usb = folder_.Path() / "sys" / "devices" / "usb1" / ("1-" + std::to_string(++buses_));
        const fs::path port = usb / "1-0:1.0" / tty;
        fs::create_directories(port);
        std::ofstream(usb / "idVendor") << "0403\n";
        std::ofstream(usb / "serial") << serial << "\n";
        fs::create_directory(ClassTty() / tty);
        fs::create_directory_symlink(port, ClassTty() / tty / "device");
        fs::create_symlink(pty.SlavePath(), Dev() / tty);
    }
    void Unplug(const std::string& tty) {
        fs::remove(Dev() / tty);
        fs::remove_all(ClassTty() / tty);
    }

private:
    fs::path ClassTty() const { return folder_.Path() / "sys" / "class" / "tty"; }
    fs::path Dev() const { return folder_.Path() / "dev"; }

    TTempFolder folder_{"kalvaro-adapters"};
    int buses_ = 0;
};

class DeviceLossTest : public MainWindowTest {
protected:
    // Picks COM1 in port 1's chooser, as the user does.
    static void PickPort1(TForm1& form) {
        for (int i = 0; i < form.ComboBox1->count(); ++i)
            if (form.ComboBox1->ItemPort(i) == 1) return PickEntry(form.ComboBox1, i);
        FAIL() << "COM1 is not listed";
    }

    // The status refresh shows port 1 open, and the input box takes input.
    static bool ShownOpen(TForm1& form) {
        return form.Comport1->IsOpen() &&
               form.Label29->text() == QString::fromStdString(form.Comport1->SettingsText()) && form.InputBoxActive();
    }
    // The status refresh shows port 1 closed.
    static bool ShownClosed(TForm1& form) {
        return !form.Comport1->IsOpen() && form.Label29->text().isEmpty() && form.Label7->text().isEmpty() &&
               !form.Button7->isVisible() && !form.InputBoxActive();
    }

    // The status refresh shows port 1 waiting for its device.
    static bool ShownWaiting(TForm1& form) {
        return !form.Comport1->IsOpen() && form.Comport1->WaitingForDevice() &&
               form.Label29->text() == QString("COM%1: waiting for device").arg(form.Comport1->ComNumber()) &&
               form.Label7->text().isEmpty() && form.Button7->isVisible() && !form.InputBoxActive();
    }
    static bool Listed(const TAfPortComboBox* chooser, int number) {
        for (int i = 0; i < chooser->count(); ++i)
            if (chooser->ItemPort(i) == number) return true;
        return false;
    }

    // Port 1 has been lost: checks that the window shows it as shown says
    // and tells the user once.
    static void ExpectLostOnce(TForm1& form, const TErrorBoxes& boxes, const TTicker& ticker,
                               bool (*shown)(TForm1&) = ShownClosed) {
        EXPECT_TRUE(PumpUntil([&] { return shown(form); })) << "the loss is not shown";
        EXPECT_TRUE(PumpUntil([&] { return !boxes.Texts.empty(); })) << "the loss is not told";
        // A second box would follow the first at once.
        PumpFor(milliseconds(300));
        EXPECT_EQ(boxes.Texts, QStringList{LostPort1});
        EXPECT_EQ(boxes.Captions, QStringList{"Kalvaro"});
        EXPECT_GT(ticker.Ticks, 0) << "the window did not serve its timers";
    }

    // Port 1 is open again and shows what arrives.
    static void ExpectReceivesAgain(TForm1& form, const std::function<void(const std::string&)>& send) {
        ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
        const std::int32_t before = form.Port1Count;
        send("again");
        EXPECT_TRUE(PumpUntil([&] { return form.Port1Count == before + 5; })) << form.Port1Count - before;
        EXPECT_TRUE(form.RichEdit1->PlainText().ends_with("again"));
    }

    // Bytes cross port 1 both ways, each byte as it was sent: the far end's
    // text into the upper view, every byte value from port 1 to the far end.
    static void ExpectBothWays(TForm1& form, const std::function<void(const std::string&)>& farSend,
                               const std::function<Bytes(std::size_t)>& farReceive, int round) {
        const std::int32_t before = form.Port1Count;
        const std::string text = "round " + std::to_string(round) + ": 0123456789 ABCDEFGHIJ";
        farSend(text);
        EXPECT_TRUE(PumpUntil([&] { return form.Port1Count == before + static_cast<std::int32_t>(text.size()); }))
            << form.Port1Count - before;
        EXPECT_TRUE(form.RichEdit1->PlainText().ends_with(text)) << form.RichEdit1->PlainText();
        const Bytes sent = PatternBytes(256, static_cast<std::uint32_t>(round));
        form.Comport1->WriteData(sent.data(), static_cast<std::int32_t>(sent.size()));
        EXPECT_TRUE(SameBytes(sent, farReceive(sent.size())));
    }

    // Line settings other than the window's own, so that a reopen with its
    // defaults would show.
    static std::string SetOtherSettings(TForm1& form) {
        form.Comport1->SetBaudRate(br57600);
        form.Comport1->SetParity(paEven);
        return form.Comport1->SettingsText();
    }

    static std::function<void(const std::string&)> PtySend(const std::unique_ptr<TPtyPair>& pty) {
        return [&pty](const std::string& bytes) { ASSERT_EQ(pty->Write(bytes), bytes.size()); };
    }
    static std::function<Bytes(std::size_t)> PtyReceive(const std::unique_ptr<TPtyPair>& pty) {
        return [&pty](std::size_t count) {
            const auto bytes = pty->Read(count);
            return Bytes(bytes.begin(), bytes.end());
        };
    }
};

// ---- with AutoReopen=0: as the window has always done ----

TEST_F(DeviceLossTest, AHungUpPtyClosesPort1MidFloodTellsOnceAndANewPtyOpensAgain) {
    TErrorBoxes boxes;
    auto pty = std::make_unique<TPtyPair>();
    WriteSettingsWithPorts({{1, pty->SlavePath()}}, {}, NoAutoReopen);
    TForm1& form = Start();
    EXPECT_EQ(form.DeviceWatch, nullptr);
    PickPort1(form);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
    {
        TPtyFlood flood(*pty);
        ASSERT_TRUE(PumpUntil([&] { return form.Port1Count >= 64 * 1024; })) << "the flood is not shown";
        TTicker ticker;
        flood.Cut();
        ExpectLostOnce(form, boxes, ticker);
    }

    // The adapter comes back under a new node.
    auto again = std::make_unique<TPtyPair>();
    WriteSettingsWithPorts({{1, again->SlavePath()}}, {}, NoAutoReopen);
    PickPort1(form);
    ExpectReceivesAgain(form, [&](const std::string& bytes) { ASSERT_EQ(again->Write(bytes), bytes.size()); });
    EXPECT_EQ(boxes.Texts.size(), 1);
}

TEST_F(DeviceLossTest, AnUnpluggedVirtualEndClosesPort1MidFloodTellsOnceAndPluggedOpensAgain) {
    TErrorBoxes boxes;
    const std::string pair = FreshPair("loss");
    const std::string end = afp::virt::EndName(pair, afp::virt::TEnd::A);
    WriteSettingsWithPorts({{1, end}}, {}, NoAutoReopen);
    TForm1& form = Start();
    EXPECT_EQ(form.DeviceWatch, nullptr);
    PickPort1(form);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
    const auto peer = afp::OpenVirtualCommDevice(afp::virt::EndName(pair, afp::virt::TEnd::B));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(ApplyEngineSettings(*peer, EngineDcb(921600)));
    {
        TVirtualFlood flood(*peer);
        ASSERT_TRUE(PumpUntil([&] { return form.Port1Count >= 8 * 1024; })) << "the flood is not shown";
        TTicker ticker;
        afp::virt::Unplug(end);
        ExpectLostOnce(form, boxes, ticker);
    }

    afp::virt::Plug(end);
    PickPort1(form);
    ExpectReceivesAgain(form, [&](const std::string& bytes) {
        TOverlappedWrite write(*peer, BytesOf(bytes));
        write.Start();
        ASSERT_TRUE(write.Finish());
    });
    EXPECT_EQ(boxes.Texts.size(), 1);
    // Plugged again while closed: nothing opens by itself.
    EXPECT_FALSE(form.Comport1->WaitingForDevice());
}

// ---- by default: a lost port waits for its device ----

TEST_F(DeviceLossTest, APtyWhoseLinkGoesAndComesBackIsReopenedByItselfWithItsSettings) {
    TErrorBoxes boxes;
    TTempFolder folder;
    const fs::path link = folder.Path() / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    auto pty = std::make_unique<TPtyPair>();
    fs::create_symlink(pty->SlavePath(), link);
    WriteSettingsWithPorts({{1, link.string()}});
    TForm1& form = Start();
    ASSERT_NE(form.DeviceWatch, nullptr);
    PickPort1(form);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
    const std::string settings = SetOtherSettings(form);
    ExpectBothWays(form, PtySend(pty), PtyReceive(pty), 1);

    // Pulled: the link goes with the device, as udev's by-id links do.
    TTicker ticker;
    pty->CloseMaster();
    fs::remove(link);
    ExpectLostOnce(form, boxes, ticker, ShownWaiting);

    // Plugged again: a new pty behind the same link.
    pty = std::make_unique<TPtyPair>();
    fs::create_symlink(pty->SlavePath(), link);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); })) << "not reopened";
    EXPECT_EQ(form.Comport1->SettingsText(), settings);
    ExpectBothWays(form, PtySend(pty), PtyReceive(pty), 2);
    EXPECT_EQ(boxes.Texts.size(), 1) << "the return is not told";
}

TEST_F(DeviceLossTest, AnUnpluggedVirtualEndPluggedAgainIsReopenedByItselfWithItsSettings) {
    TErrorBoxes boxes;
    const std::string pair = FreshPair("back");
    const std::string end = afp::virt::EndName(pair, afp::virt::TEnd::A);
    WriteSettingsWithPorts({{1, end}});
    TForm1& form = Start();
    PickPort1(form);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
    const std::string settings = SetOtherSettings(form);
    const auto peer = afp::OpenVirtualCommDevice(afp::virt::EndName(pair, afp::virt::TEnd::B));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(ApplyEngineSettings(*peer, EngineDcb(921600)));
    const auto farSend = [&](const std::string& bytes) {
        TOverlappedWrite write(*peer, BytesOf(bytes));
        write.Start();
        ASSERT_TRUE(write.Finish());
    };
    const auto farReceive = [&](std::size_t count) { return ReadFromDevice(*peer, count); };
    ExpectBothWays(form, farSend, farReceive, 1);
    {
        TVirtualFlood flood(*peer);
        ASSERT_TRUE(PumpUntil([&] { return form.Port1Count >= 8 * 1024; })) << "the flood is not shown";
        TTicker ticker;
        afp::virt::Unplug(end);
        ExpectLostOnce(form, boxes, ticker, ShownWaiting);
    }

    afp::virt::Plug(end);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); })) << "not reopened";
    EXPECT_EQ(form.Comport1->SettingsText(), settings);
    ExpectBothWays(form, farSend, farReceive, 2);
    EXPECT_EQ(boxes.Texts.size(), 1) << "the return is not told";
}

TEST_F(DeviceLossTest, OffDuringTheWaitEndsIt) {
    TErrorBoxes boxes;
    const std::string end = afp::virt::EndName(FreshPair("off"), afp::virt::TEnd::A);
    WriteSettingsWithPorts({{1, end}});
    TForm1& form = Start();
    PickPort1(form);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
    TTicker ticker;
    afp::virt::Unplug(end);
    ExpectLostOnce(form, boxes, ticker, ShownWaiting);
    ASSERT_TRUE(PumpUntil([&] { return !Listed(form.ComboBox1, 1); }));

    Click(form.Button7);
    EXPECT_FALSE(form.Comport1->WaitingForDevice());
    EXPECT_TRUE(PumpUntil([&] { return ShownClosed(form); }));
    // The chooser hears of the plug after the port does: once COM1 is
    // listed again, a port still waiting would have reopened.
    afp::virt::Plug(end);
    ASSERT_TRUE(PumpUntil([&] { return Listed(form.ComboBox1, 1); }));
    EXPECT_FALSE(form.Comport1->IsOpen());
    EXPECT_TRUE(ShownClosed(form));
    EXPECT_EQ(boxes.Texts.size(), 1);
}

TEST_F(DeviceLossTest, AnAdapterWithAnotherSerialNumberIsNotTakenForTheLostOne) {
    TErrorBoxes boxes;
    TFakeAdapters adapters;
    auto first = std::make_unique<TPtyPair>();
    adapters.Plug("ttyUSB0", "A1B2C3", *first);
    WriteSettings("[Ports]\nDemoPair=0\n");
    TForm1& form = Start();
    PickPort1(form);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
    ExpectBothWays(form, PtySend(first), PtyReceive(first), 1);

    TTicker ticker;
    first->CloseMaster();
    adapters.Unplug("ttyUSB0");
    ExpectLostOnce(form, boxes, ticker, ShownWaiting);
    ASSERT_TRUE(PumpUntil([&] { return !Listed(form.ComboBox1, 1); }));

    // Another adapter takes the lost one's node and number.
    TPtyPair other;
    adapters.Plug("ttyUSB0", "XYZ999", other);
    ASSERT_TRUE(PumpUntil([&] { return Listed(form.ComboBox1, 1); }));
    EXPECT_FALSE(form.Comport1->IsOpen());
    EXPECT_TRUE(form.Comport1->WaitingForDevice());

    // The lost adapter comes back beside it, as ttyUSB1: COM2.
    auto back = std::make_unique<TPtyPair>();
    adapters.Plug("ttyUSB1", "A1B2C3", *back);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); })) << "not reopened";
    EXPECT_EQ(form.Comport1->ComNumber(), 2);
    EXPECT_EQ(form.ComboBox1->PortNumber(), 2);
    EXPECT_EQ(form.ComboBox1->currentText(), "COM 2");
    ExpectBothWays(form, PtySend(back), PtyReceive(back), 2);
    EXPECT_EQ(boxes.Texts.size(), 1);
}

}  // namespace
