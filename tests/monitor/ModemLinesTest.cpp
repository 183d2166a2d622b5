#include "platform/CommDevice.h"
#include "serial/AfPortControls.h"
#include "tests/monitor/MainWindowFixture.h"
#include "widgets/LimitedEdit.h"

#include <gtest/gtest.h>

#include <QFrame>
#include <QPushButton>
#include <QTimer>

#include <chrono>

namespace {

using namespace kalvaro::test;
using afp::virt::EndName;
using afp::virt::TEnd;
using Clock = std::chrono::steady_clock;

bool Lit(const QFrame* lamp) { return TForm1::BackgroundColor(lamp) == ColorGreen; }
bool Dark(const QFrame* lamp) { return TForm1::BackgroundColor(lamp) == ButtonFaceColor(); }

// Port 1 and port 2 on the A ends of two virtual null-modem cables; the test
// holds the B ends and drives their output lines, which the A ends see as
// CTS (from RTS), DSR and RLSD (from DTR).
class ModemLinesTest : public MainWindowTest {
protected:
    void SetUp() override {
        Pair1 = FreshPair("lines");
        Pair2 = FreshPair("lines");
        WriteSettingsWithPorts({{1, EndName(Pair1, TEnd::A)}, {2, EndName(Pair2, TEnd::A)}});
    }

    // Both ports opened through their choosers.
    TForm1& StartWithPortsOpen() {
        TForm1& form = Start();
        form.ComboBox1->SetPortNumber(1);
        form.ComboBox1->Change();
        form.ComComboBox3->SetPortNumber(2);
        form.ComComboBox3->Change();
        EXPECT_TRUE(form.Comport1->IsOpen());
        EXPECT_TRUE(form.ComPort2->IsOpen());
        return form;
    }

    static std::unique_ptr<afp::TCommDevice> OpenPeer(const std::string& pair) {
        auto peer = afp::OpenCommDevice(EndName(pair, TEnd::B));
        EXPECT_NE(peer, nullptr);
        return peer;
    }

    std::string Pair1;
    std::string Pair2;
};

TEST_F(ModemLinesTest, LampsFollowThePeersLinesOnEachPort) {
    TForm1& form = StartWithPortsOpen();
    for (QFrame* lamp : {form.Led1, form.Led2, form.Led4, form.led5, form.led6, form.led8}) EXPECT_TRUE(Dark(lamp));

    // Opening a B end raises its RTS and DTR.
    auto peer1 = OpenPeer(Pair1);
    ASSERT_TRUE(PumpUntil([&] { return Lit(form.Led1) && Lit(form.Led2) && Lit(form.Led4); }));
    EXPECT_TRUE(Dark(form.led5));
    EXPECT_TRUE(Dark(form.led6));
    EXPECT_TRUE(Dark(form.led8)) << "port 2's lamps follow port 2's lines only";

    auto peer2 = OpenPeer(Pair2);
    ASSERT_TRUE(PumpUntil([&] { return Lit(form.led5) && Lit(form.led6) && Lit(form.led8); }));

    ASSERT_TRUE(peer1->EscapeCommFunction(CLRDTR));
    ASSERT_TRUE(PumpUntil([&] { return Dark(form.Led2) && Dark(form.Led4); }));
    EXPECT_TRUE(Lit(form.Led1));
    ASSERT_TRUE(peer1->EscapeCommFunction(CLRRTS));
    ASSERT_TRUE(PumpUntil([&] { return Dark(form.Led1); }));

    ASSERT_TRUE(peer2->EscapeCommFunction(CLRRTS));
    ASSERT_TRUE(PumpUntil([&] { return Dark(form.led5); }));
    EXPECT_TRUE(Lit(form.led8));
    EXPECT_TRUE(Dark(form.Led3));
    EXPECT_TRUE(Dark(form.led7));
}

TEST_F(ModemLinesTest, ARingHoldsTheLampFromTheFirstRingOfABurst) {
    TForm1& form = StartWithPortsOpen();
    int rings = 0;
    for (TAfComPort* port : {form.Comport1, form.ComPort2}) {
        auto windows = port->OnRINGDetected;
        port->OnRINGDetected = [&rings, windows](QObject* sender) {
            ++rings;
            windows(sender);
        };
    }
    const std::string port1 = EndName(Pair1, TEnd::A);
    const Clock::time_point firstRing = Clock::now();
    afp::virt::Ring(port1);
    ASSERT_TRUE(PumpUntil([&] { return rings == 1; }));
    EXPECT_TRUE(Lit(form.Led3));
    EXPECT_TRUE(form.Timer4->isActive());
    EXPECT_TRUE(Dark(form.led7));

    // The user's timing: the second ring comes 0.6 s after the first, and
    // port 2 rings at once after it.
    PumpFor(milliseconds(600));
    afp::virt::Ring(port1);
    afp::virt::Ring(EndName(Pair2, TEnd::A));
    ASSERT_TRUE(PumpUntil([&] { return rings == 3; }));
    // A running hold timer is not restarted by a later ring.
    if (form.Timer4->isActive()) {
        EXPECT_LT(form.Timer4->remainingTime(), 700);
    }

    ASSERT_TRUE(PumpUntil([&] { return Dark(form.Led3); }));
    const auto heldFor = std::chrono::duration_cast<milliseconds>(Clock::now() - firstRing);
    EXPECT_GE(heldFor.count(), 900);
    EXPECT_TRUE(Dark(form.led7)) << "the tick puts out both ports' lamps";
    EXPECT_FALSE(form.Timer4->isActive());
}

TEST_F(ModemLinesTest, TheRtsSwitchTogglesRtsAndRepaintsTheCtsLampAtOnce) {
    // A loopback plug wires port 1's RTS back to its own CTS.
    WriteSettingsWithPorts({{1, afp::virt::LoopName(FreshPair("plug"))}});
    TForm1& form = Start();
    form.ComboBox1->SetPortNumber(1);
    form.ComboBox1->Change();
    ASSERT_TRUE(form.Comport1->IsOpen());
    ASSERT_FALSE(form.Comport1->RTS());
    PumpUntil([&] { return Dark(form.Led1); });

    form.Edit5->setFocus();
    Click(form.ledCTS);
    EXPECT_EQ(TForm1::FaceColor(form.ledCTS), ColorGreen);
    EXPECT_TRUE(form.Comport1->RTS());
    EXPECT_TRUE(Lit(form.Led1)) << "painted by the click, before any line event";
    EXPECT_TRUE(form.Edit4->hasFocus());

    Click(form.ledCTS);
    EXPECT_EQ(TForm1::FaceColor(form.ledCTS), ButtonFaceColor());
    EXPECT_FALSE(form.Comport1->RTS());
    EXPECT_TRUE(Dark(form.Led1));
}

TEST_F(ModemLinesTest, TheDtrSwitchStartsOffWhileDtrIsUpAndTogglesIt) {
    TForm1& form = StartWithPortsOpen();
    const std::string port1 = EndName(Pair1, TEnd::A);
    EXPECT_EQ(TForm1::FaceColor(form.LEDDTR), ButtonFaceColor());
    EXPECT_NE(afp::virt::PeerModemStatus(port1) & MS_DSR_ON, 0u) << "DTR comes up with the open";

    form.Edit5->setFocus();
    Click(form.LEDDTR);
    EXPECT_EQ(TForm1::FaceColor(form.LEDDTR), ColorGreen);
    EXPECT_TRUE(form.Comport1->DTR());
    EXPECT_NE(afp::virt::PeerModemStatus(port1) & MS_DSR_ON, 0u);
    EXPECT_TRUE(form.Edit4->hasFocus());

    Click(form.LEDDTR);
    EXPECT_EQ(TForm1::FaceColor(form.LEDDTR), ButtonFaceColor());
    EXPECT_FALSE(form.Comport1->DTR());
    EXPECT_EQ(afp::virt::PeerModemStatus(port1) & MS_DSR_ON, 0u);
}

TEST_F(ModemLinesTest, SwitchesOnAClosedPortChangeColourAndPropertyOnlyAndRtsIsDroppedAtTheNextOpen) {
    TForm1& form = Start();
    const std::string port1 = EndName(Pair1, TEnd::A);
    Click(form.ledCTS);
    Click(form.LEDDTR);
    EXPECT_EQ(TForm1::FaceColor(form.ledCTS), ColorGreen);
    EXPECT_EQ(TForm1::FaceColor(form.LEDDTR), ColorGreen);
    EXPECT_TRUE(form.Comport1->RTS());
    EXPECT_TRUE(form.Comport1->DTR());
    EXPECT_EQ(afp::virt::PeerModemStatus(port1), 0u);

    form.ComboBox1->SetPortNumber(1);
    form.ComboBox1->Change();
    ASSERT_TRUE(form.Comport1->IsOpen());
    EXPECT_EQ(TForm1::FaceColor(form.ledCTS), ButtonFaceColor());
    EXPECT_FALSE(form.Comport1->RTS());
    EXPECT_EQ(afp::virt::PeerModemStatus(port1) & MS_CTS_ON, 0u);
    EXPECT_EQ(TForm1::FaceColor(form.LEDDTR), ColorGreen) << "the DTR switch is left as it was";
}

}  // namespace
