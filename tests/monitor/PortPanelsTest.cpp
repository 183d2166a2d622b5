#include "platform/CommBackends.h"
#include "platform/PosixTermios2.h"
#include "serial/AfPortControls.h"
#include "tests/monitor/MainWindowFixture.h"
#include "tests/support/PtyPair.h"
#include "tests/support/Ser2net.h"
#include "widgets/ColorComboBox.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QSignalBlocker>

#include <sys/ioctl.h>

#include <string>
#include <vector>

namespace {

using namespace kalvaro::test;

// Records every height a panel is given.
class THeightLog : public QObject {
public:
    explicit THeightLog(QWidget* panel) { panel->installEventFilter(this); }
    std::vector<int> Heights;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize) Heights.push_back(static_cast<QResizeEvent*>(event)->size().height());
        return false;
    }
};

std::vector<int> Steps(int from, int to, int step) {
    std::vector<int> heights;
    for (int height = from; step > 0 ? height <= to : height >= to; height += step) heights.push_back(height);
    return heights;
}

class PortPanelsTest : public MainWindowTest {
protected:
    void SetUp() override {
        Pair1 = FreshPair("panels");
        Pair2 = FreshPair("panels");
        WriteSettingsWithPorts(
            {{1, afp::virt::EndName(Pair1, afp::virt::TEnd::A)}, {2, afp::virt::EndName(Pair2, afp::virt::TEnd::A)}});
    }

    // Picks COMn in a chooser as the user does.
    static void PickPort(TAfPortComboBox* chooser, int n) {
        for (int i = 0; i < chooser->count(); ++i)
            if (chooser->ItemPort(i) == n) return PickEntry(chooser, i);
        FAIL() << "COM" << n << " is not listed";
    }

    // The status refresh has shown port 1 open.
    static bool ShownOpen(TForm1& form) {
        return form.Label29->text() == QString::fromStdString(form.Comport1->SettingsText());
    }

    // Records the opens and closes of a port, keeping the window's own handling.
    void CountOpensAndCloses(TAfComPort* port) {
        auto windows = port->OnPortOpen;
        port->OnPortOpen = [this, windows](QObject* sender) {
            ++Opens;
            if (windows) windows(sender);
        };
        port->OnPortClose = [this](QObject*) { ++Closes; };
    }

    std::string Port1Device() const { return afp::virt::EndName(Pair1, afp::virt::TEnd::A); }

    // Types text over the baud-rate box's text and presses Enter.
    static void TypeRate(QComboBox* box, const char* text) {
        box->lineEdit()->setFocus();
        box->lineEdit()->selectAll();
        QTest::keyClicks(box->lineEdit(), text);
        QTest::keyClick(box->lineEdit(), Qt::Key_Return);
    }

    std::string Pair1;
    std::string Pair2;
    int Opens = 0;
    int Closes = 0;
};

TEST_F(PortPanelsTest, OffButtonsShowUntilTheFirstRefreshAndLabel11KeepsItsDesignText) {
    TForm1& form = Start();
    EXPECT_TRUE(form.Button7->isVisible());
    EXPECT_TRUE(form.Button6->isVisible());
    ASSERT_TRUE(PumpUntil([&] { return !form.Button7->isVisible() && !form.Button6->isVisible(); }));
    EXPECT_EQ(form.Label11->text(), "COM1");
    EXPECT_EQ(form.Label7->text(), "");
    EXPECT_EQ(form.Label29->text(), "");
    EXPECT_EQ(TForm1::FontColor(form.Label1), ColorBlack);
    EXPECT_EQ(TForm1::BackgroundColor(form.Edit4), ButtonFaceColor());
}

TEST_F(PortPanelsTest, APickOpensThePortAndTheRefreshShowsIt) {
    TForm1& form = Start();
    form.ColorComboBox1->SetValue(0x0000FF);
    ASSERT_GE(form.ComboBox1->count(), 2);
    PickPort(form.ComboBox1, 1);
    EXPECT_EQ(form.Label29->text(), "COM0: 9600,N,8,1") << "the summary is taken before the number changes";
    ASSERT_TRUE(form.Comport1->IsOpen());
    EXPECT_EQ(form.Comport1->ComNumber(), 1);
    EXPECT_EQ(TForm1::FaceColor(form.ledCTS), ButtonFaceColor());
    EXPECT_FALSE(form.Comport1->RTS());
    EXPECT_EQ(afp::virt::PeerModemStatus(Port1Device()) & MS_CTS_ON, 0u) << "RTS is dropped at the open";

    ASSERT_TRUE(PumpUntil([&] { return form.Label29->text() == "COM1: 9600,N,8,1"; }));
    EXPECT_EQ(form.Label7->text(), "COM1");
    EXPECT_EQ(TForm1::FontColor(form.Label7), 0x0000FF);
    EXPECT_EQ(form.Label11->text(), "COM1");
    EXPECT_EQ(TForm1::FontColor(form.Label1), ColorGreen);
    EXPECT_EQ(TForm1::FontColor(form.Label4), ColorGreen);
    EXPECT_TRUE(form.Button7->isVisible());
    EXPECT_EQ(TForm1::BackgroundColor(form.Edit4), WindowColor());
    EXPECT_FALSE(form.Button6->isVisible()) << "port 2 is still closed";

    // Port 2 has its own panel, chip and colour.
    form.ColorComboBox2->SetValue(0x00FFFF);
    PickPort(form.ComComboBox3, 2);
    ASSERT_TRUE(form.ComPort2->IsOpen());
    ASSERT_TRUE(PumpUntil([&] { return form.Label30->text() == "COM2: 9600,N,8,1"; }));
    EXPECT_EQ(form.Label10->text(), "COM2");
    EXPECT_EQ(TForm1::FontColor(form.Label10), 0x00FFFF);
    EXPECT_EQ(TForm1::FontColor(form.Label2), ColorGreen);
    EXPECT_TRUE(form.Button6->isVisible());
    EXPECT_EQ(form.Label11->text(), "COM1") << "the output label names port 1 only";
}

TEST_F(PortPanelsTest, TheDisplayOfAClosedPortPullsNothingDown) {
    TForm1& form = Start();
    Click(form.Image1);
    Click(form.Label30);
    Click(form.Image2);
    EXPECT_TRUE(form.Panel1->isHidden());
    EXPECT_TRUE(form.Panel2->isHidden());
}

TEST_F(PortPanelsTest, ThePanelGrowsFilledAndShrinksAwayOnOk) {
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    ASSERT_TRUE(form.Comport1->IsOpen());
    form.Comport1->SetParity(paEven);
    THeightLog log(form.Panel1);
    Click(form.Image1);
    EXPECT_TRUE(form.Panel1->isVisible());
    EXPECT_EQ(log.Heights, Steps(2, 136, 2));
    EXPECT_EQ(form.ComboBox2->currentText(), "9600");
    EXPECT_EQ(form.ComboBox3->currentText(), "Even");
    EXPECT_EQ(form.ComboBox4->currentText(), "8");
    EXPECT_EQ(form.ComboBox5->currentText(), "1");
    EXPECT_EQ(form.ComboBox6->currentText(), "None");
    EXPECT_EQ(form.Comport1->ComNumber(), 1);

    log.Heights.clear();
    Click(form.Button3);
    EXPECT_EQ(log.Heights, Steps(90, 2, -2));
    EXPECT_TRUE(form.Panel1->isHidden());

    // The summary label is part of the display too; a second click puts it away.
    Click(form.Label29);
    EXPECT_TRUE(form.Panel1->isVisible());
    Click(form.Image1);
    EXPECT_TRUE(form.Panel1->isHidden());
}

// At the boxes' fixed widths every item reads whole: the edit draws it from
// its first character to its last without scrolling, inside the box, and
// the list cuts no item short.
TEST_F(PortPanelsTest, EveryItemOfEveryBoxShowsWhole) {
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    PickPort(form.ComComboBox3, 2);
    Click(form.Image1);
    Click(form.Image2);
    for (QComboBox* box : form.Panel1->findChildren<QComboBox*>() + form.Panel2->findChildren<QComboBox*>()) {
        ASSERT_TRUE(box->isVisible());
        QLineEdit* edit = box->lineEdit();
        const QSignalBlocker quiet(box);
        // Where the edit draws a text position once it has painted (and so
        // scrolled), in the box's pixels.
        const auto drawnAt = [&](qsizetype position) {
            edit->setCursorPosition(static_cast<int>(position));
            edit->repaint();
            return edit->mapTo(box, edit->inputMethodQuery(Qt::ImCursorRectangle).toRect().center()).x();
        };
        for (int i = 0; i < box->count(); ++i) {
            const QString item = box->itemText(i);
            edit->setText(item);
            const int first = drawnAt(0);
            const int last = drawnAt(item.size());
            EXPECT_EQ(last - first, edit->fontMetrics().horizontalAdvance(item)) << item.toStdString() << " scrolls";
            EXPECT_TRUE(first >= 0 && last <= box->rect().right()) << item.toStdString() << " is cut";
        }
        box->showPopup();
        EXPECT_GE(box->view()->viewport()->width(), box->view()->sizeHintForColumn(0))
            << box->objectName().toStdString();
        box->hidePopup();
    }
}

TEST_F(PortPanelsTest, APickInABoxClosesAndReopensWithTheNewSettingAndRtsOff) {
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    ASSERT_TRUE(form.Comport1->IsOpen());
    CountOpensAndCloses(form.Comport1);
    Click(form.Image1);
    Click(form.ledCTS);
    ASSERT_TRUE(form.Comport1->RTS());
    ASSERT_NE(afp::virt::PeerModemStatus(Port1Device()) & MS_CTS_ON, 0u);

    PickEntry(form.ComboBox2, 8);
    EXPECT_EQ(form.Comport1->BaudRate(), br19200);
    EXPECT_TRUE(form.Comport1->IsOpen());
    EXPECT_EQ(Closes, 1);
    EXPECT_EQ(Opens, 1);
    EXPECT_EQ(TForm1::FaceColor(form.ledCTS), ButtonFaceColor());
    EXPECT_FALSE(form.Comport1->RTS());
    EXPECT_EQ(afp::virt::PeerModemStatus(Port1Device()) & MS_CTS_ON, 0u);
    ASSERT_TRUE(PumpUntil([&] { return form.Label29->text() == "COM1: 19200,N,8,1"; }));

    PickEntry(form.ComboBox6, 1);
    EXPECT_EQ(form.Comport1->FlowControl(), fwXOnXOff);
    PickEntry(form.ComboBox5, 2);
    EXPECT_EQ(form.Comport1->Stopbits(), sbTwo);
    PickEntry(form.ComboBox4, 3);
    EXPECT_EQ(form.Comport1->Databits(), db7);
    EXPECT_EQ(Opens, 4);
    ASSERT_TRUE(PumpUntil([&] { return form.Label29->text() == "COM1: 19200,N,7,2"; }));
}

TEST_F(PortPanelsTest, TypingReopensThePortAndOnlyAnItemsTextChangesTheSetting) {
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    ASSERT_TRUE(form.Comport1->IsOpen());
    CountOpensAndCloses(form.Comport1);
    Click(form.Image1);

    QLineEdit* parity = form.ComboBox3->lineEdit();
    parity->setFocus();
    parity->selectAll();
    QTest::keyClicks(parity, "Q");
    EXPECT_EQ(form.ComboBox3->currentText(), "Q");
    EXPECT_EQ(form.Comport1->Parity(), paNone);
    EXPECT_EQ(Closes, 1);
    EXPECT_EQ(Opens, 1);
    EXPECT_TRUE(form.Comport1->IsOpen());

    parity->selectAll();
    QTest::keyClicks(parity, "Odd");
    EXPECT_EQ(form.Comport1->Parity(), paOdd) << "a typed text that is an item counts";
    EXPECT_EQ(Opens, 4) << "every keystroke reopens";
    EXPECT_TRUE(form.Comport1->IsOpen());

    QTest::keyClick(parity, Qt::Key_Return);
    Click(form.Edit5);
    EXPECT_EQ(Opens, 4) << "Enter and leaving the box are no picks";
}

TEST_F(PortPanelsTest, OffClosesThePortAndLeavesThePanelDown) {
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    Click(form.Image1);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form); }));
    ASSERT_TRUE(form.Button7->isVisible());
    form.Edit5->setFocus();

    Click(form.Button7);
    EXPECT_FALSE(form.Comport1->IsOpen());
    EXPECT_TRUE(form.Edit4->hasFocus());
    EXPECT_TRUE(form.Panel1->isVisible());
    ASSERT_TRUE(PumpUntil([&] { return !form.Button7->isVisible(); }));
    EXPECT_EQ(form.Label7->text(), "");
    EXPECT_EQ(form.Label29->text(), "");
    EXPECT_EQ(form.Label11->text(), "COM1") << "keeps the last number";
    EXPECT_EQ(TForm1::FontColor(form.Label1), ColorBlack);
    EXPECT_EQ(TForm1::FontColor(form.Label4), ColorBlack);
    EXPECT_EQ(TForm1::BackgroundColor(form.Edit4), ButtonFaceColor());

    // A change in the panel left down opens the port again.
    PickEntry(form.ComboBox2, 12);
    EXPECT_TRUE(form.Comport1->IsOpen());
    EXPECT_EQ(form.Comport1->BaudRate(), br115200);
}

TEST_F(PortPanelsTest, AFailedReopenShowsTheErrorAndTheRefreshShowsThePortClosed) {
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    Click(form.Image1);
    TErrorBoxes boxes;
    afp::virt::Unplug(Port1Device());
    PumpUntil([&] { return !form.Comport1->IsOpen() && !boxes.Texts.empty(); });
    boxes.Texts.clear();

    PickEntry(form.ComboBox2, 3);
    EXPECT_EQ(form.Comport1->BaudRate(), br1200) << "the property keeps its new value";
    EXPECT_FALSE(form.Comport1->IsOpen());
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_TRUE(boxes.Texts[0].contains("COM1")) << boxes.Texts[0].toStdString();
    afp::virt::Plug(Port1Device());
}

// With AutoReopen=0; by default the panel shows the port waiting for its
// device (DeviceLossTest).
TEST_F(PortPanelsTest, ALostDeviceIsShownClosedAtTheNextRefreshWithOneErrorBox) {
    WriteSettingsWithPorts({{1, Port1Device()}, {2, afp::virt::EndName(Pair2, afp::virt::TEnd::A)}}, {},
                           "AutoReopen=0\n");
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    ASSERT_TRUE(PumpUntil([&] { return ShownOpen(form) && form.Button7->isVisible(); }));
    TErrorBoxes boxes;

    afp::virt::Unplug(Port1Device());
    ASSERT_TRUE(PumpUntil([&] { return !form.Comport1->IsOpen(); }));
    ASSERT_TRUE(PumpUntil([&] { return !form.Button7->isVisible(); }));
    EXPECT_EQ(form.Label29->text(), "");
    EXPECT_EQ(form.Label7->text(), "");
    EXPECT_EQ(TForm1::FontColor(form.Label1), ColorBlack);
    PumpFor(milliseconds(300));
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(boxes.Texts[0].toStdString().rfind("Device COM1 is no longer available", 0), 0u)
        << boxes.Texts[0].toStdString();
    afp::virt::Plug(Port1Device());
}

TEST_F(PortPanelsTest, AWholeNumberTypedIntoTheBaudRateBoxBecomesTheUserRate) {
    TPtyPair pty;
    const std::string pair = FreshPair("rates");
    WriteSettingsWithPorts({{1, pty.SlavePath()},
                            {2, afp::virt::EndName(pair, afp::virt::TEnd::A)},
                            {3, afp::virt::EndName(pair, afp::virt::TEnd::B)}});
    TErrorBoxes boxes;
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    Click(form.Image1);

    TypeRate(form.ComboBox2, "921600");
    EXPECT_EQ(form.Comport1->BaudRate(), brUser);
    EXPECT_EQ(form.Comport1->UserBaudRate(), 921600);
    ASSERT_TRUE(form.Comport1->IsOpen());
    afp_line_settings line{};
    ASSERT_EQ(afp_line_get(pty.MasterFd(), &line), 0);
    EXPECT_EQ(line.ospeed, 921600u) << "the pty's line runs at the typed rate";
    ASSERT_TRUE(PumpUntil([&] { return form.Label29->text() == "COM1: 921600,N,8,1"; }));

    // Text that is no whole number of the range changes nothing, not even on Enter.
    for (const char* text : {"abc", "-5", "49", "12345678"}) {
        TypeRate(form.ComboBox2, text);
        EXPECT_EQ(form.Comport1->UserBaudRate(), 921600) << text;
        EXPECT_TRUE(form.Comport1->IsOpen()) << text;
    }
    TypeRate(form.ComboBox2, "3000000");
    ASSERT_EQ(afp_line_get(pty.MasterFd(), &line), 0);
    EXPECT_EQ(line.ospeed, 3000000u);
    // An item picked afterwards behaves as ever.
    PickEntry(form.ComboBox2, 12);
    EXPECT_EQ(form.Comport1->BaudRate(), br115200);
    EXPECT_EQ(form.Comport1->UserBaudRate(), 0);

    // Port 2 on one end of a virtual pair: the bytes cross at the typed rate.
    form.ComPort2->SetOutBufSize(1 << 16);
    PickPort(form.ComComboBox3, 2);
    Click(form.Image2);
    TypeRate(form.ComboBox11, "3000000");
    ASSERT_TRUE(form.ComPort2->IsOpen());
    EXPECT_EQ(form.ComPort2->UserBaudRate(), 3000000);
    auto far = afp::OpenVirtualCommDevice(afp::virt::EndName(pair, afp::virt::TEnd::B));
    ASSERT_TRUE(far);
    ASSERT_TRUE(ApplyEngineSettings(*far, EngineDcb(3000000)));
    const Bytes sent(30000, 0x55);
    form.ComPort2->WriteData(sent.data(), static_cast<std::int32_t>(sent.size()));
    Bytes got;
    // 30 000 bytes take 0.1 s at 3 000 000 bit/s and half a minute at 9600.
    ASSERT_TRUE(PumpUntil([&] {
        afp::TKernelEvent event(true);
        afp::TOverlapped record{&event};
        Bytes chunk(64 * 1024);
        DWORD read = 0;
        if (far->ReadFile(chunk.data(), static_cast<DWORD>(chunk.size()), read, record) && read > 0)
            got.insert(got.end(), chunk.begin(), chunk.begin() + read);
        return got.size() >= sent.size();
    })) << got.size()
        << " bytes arrived";
    EXPECT_TRUE(SameBytes(sent, got));

    // A rate the device refuses gives the usual error and leaves the port closed.
    form.ComboBox11->lineEdit()->selectAll();
    QTest::keyClicks(form.ComboBox11->lineEdit(), "1000000");
    afp::virt::Refuse(afp::virt::EndName(pair, afp::virt::TEnd::A), afp::virt::TRefusable::SetCommState, true);
    QTest::keyClick(form.ComboBox11->lineEdit(), Qt::Key_Return);
    afp::virt::Refuse(afp::virt::EndName(pair, afp::virt::TEnd::A), afp::virt::TRefusable::SetCommState, false);
    EXPECT_FALSE(form.ComPort2->IsOpen());
    EXPECT_EQ(boxes.Texts.size(), 1) << boxes.Texts.join('|').toStdString();
}

// Two ports on two machines, each served by a ser2net of its own: picked in
// the choosers they show what their far ends send, their lamps follow the
// far ends' lines, and the settings and RTS picked in the panel reach the
// far device.
TEST_F(PortPanelsTest, TwoPortsServedByTwoSer2netsShowDataLampsAndSettingsAsLocalPortsDo) {
    TPtyPair pty1;
    TPtyPair pty2;
    TSer2net server1(pty1.SlavePath(), true);
    TSer2net server2(pty2.SlavePath(), true);
    ASSERT_TRUE(server1.Running()) << server1.Problem();
    ASSERT_TRUE(server2.Running()) << server2.Problem();
    WriteSettingsWithPorts({{1, server1.Address()}, {2, server2.Address()}});
    const auto speed = [](const TPtyPair& pty) {
        afp_line_settings line{};
        afp_line_get(pty.MasterFd(), &line);
        return line.ospeed;
    };
    TForm1& form = Start();
    PickPort(form.ComboBox1, 1);
    PickPort(form.ComComboBox3, 2);
    ASSERT_TRUE(form.Comport1->IsOpen());
    ASSERT_TRUE(form.ComPort2->IsOpen());
    ASSERT_TRUE(PumpUntil(
        [&] { return form.Label29->text() == "COM1: 9600,N,8,1" && form.Label30->text() == "COM2: 9600,N,8,1"; }));
    EXPECT_EQ(speed(pty1), 9600u);
    EXPECT_EQ(speed(pty2), 9600u);

    pty1.Write("from rack 1;");
    EXPECT_TRUE(PumpUntil([&] { return form.RichEdit1->PlainText().find("from rack 1;") != std::string::npos; }));
    pty2.Write("from rack 2;");
    EXPECT_TRUE(PumpUntil([&] { return form.RichEdit1->PlainText().find("from rack 2;") != std::string::npos; }));
    const Bytes sent = PatternBytes(256, 5);
    form.Comport1->WriteData(sent.data(), static_cast<std::int32_t>(sent.size()));
    EXPECT_TRUE(SameBytes(sent, pty1.Read(sent.size())));

    const auto lit = [](const QFrame* lamp) { return TForm1::BackgroundColor(lamp) == ColorGreen; };
    server1.SetFarLines(TIOCM_RTS | TIOCM_DTR);
    EXPECT_TRUE(PumpUntil([&] { return lit(form.Led1) && lit(form.Led2) && lit(form.Led4); }));
    EXPECT_FALSE(lit(form.led5));
    server2.SetFarLines(TIOCM_RTS);
    EXPECT_TRUE(PumpUntil([&] { return lit(form.led5); }));
    EXPECT_FALSE(lit(form.led6));

    PickEntry(form.ComboBox2, 8);
    ASSERT_TRUE(form.Comport1->IsOpen());
    ASSERT_TRUE(PumpUntil([&] { return form.Label29->text() == "COM1: 19200,N,8,1"; }));
    EXPECT_EQ(speed(pty1), 19200u);
    EXPECT_EQ(server1.DeviceLines() & TIOCM_RTS, 0);
    Click(form.Image1);
    Click(form.ledCTS);
    ASSERT_TRUE(form.Comport1->RTS());
    EXPECT_TRUE(PumpUntil([&] { return server1.DeviceLines() & TIOCM_RTS; })) << server1.DeviceLines();
}

}  // namespace
