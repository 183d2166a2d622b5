// Port 1's device goes away while bytes pour in: the window stays
// responsive, shows the port closed at its next status refresh, tells the
// user once, and opens the port again once the device is back.
//
// A pty cannot come back: once its master is closed the pair is gone for
// good. For a pty, "the device is back" therefore means what it means to a
// user whose adapter got a new device node: the settings file maps COM1 to a
// new pty's slave, and the port is picked again in its chooser. A virtual
// end comes back under its own name when it is plugged again.
#include "platform/CommBackends.h"
#include "serial/AfPortControls.h"
#include "tests/monitor/MainWindowFixture.h"
#include "tests/support/PtyPair.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

using namespace kalvaro::test;

const QString LostPort1 = "Device COM1 is no longer available - Comport1 ";

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
        return form.Comport1->IsOpen() && form.Label29->text() == QString::fromStdString(form.Comport1->SettingsText()) &&
               form.InputBoxActive();
    }
    // The status refresh shows port 1 closed.
    static bool ShownClosed(TForm1& form) {
        return !form.Comport1->IsOpen() && form.Label29->text().isEmpty() && form.Label7->text().isEmpty() &&
               !form.Button7->isVisible() && !form.InputBoxActive();
    }

    // Port 1 has been lost mid-flood: checks what the window shows.
    static void ExpectLostOnce(TForm1& form, const TErrorBoxes& boxes, const TTicker& ticker) {
        EXPECT_TRUE(PumpUntil([&] { return ShownClosed(form); })) << "the loss is not shown";
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
};

TEST_F(DeviceLossTest, AHungUpPtyClosesPort1MidFloodTellsOnceAndANewPtyOpensAgain) {
    TErrorBoxes boxes;
    auto pty = std::make_unique<TPtyPair>();
    WriteSettingsWithPorts({{1, pty->SlavePath()}});
    TForm1& form = Start();
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
    WriteSettingsWithPorts({{1, again->SlavePath()}});
    PickPort1(form);
    ExpectReceivesAgain(form, [&](const std::string& bytes) { ASSERT_EQ(again->Write(bytes), bytes.size()); });
    EXPECT_EQ(boxes.Texts.size(), 1);
}

TEST_F(DeviceLossTest, AnUnpluggedVirtualEndClosesPort1MidFloodTellsOnceAndPluggedOpensAgain) {
    TErrorBoxes boxes;
    const std::string pair = FreshPair("loss");
    const std::string end = afp::virt::EndName(pair, afp::virt::TEnd::A);
    WriteSettingsWithPorts({{1, end}});
    TForm1& form = Start();
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
}

}  // namespace
