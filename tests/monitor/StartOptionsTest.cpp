// The command line: parsed against the settings file's port map and real
// devices (a pty, the virtual pairs), then applied to the real window.
#include "monitor/StartOptions.h"
#include "platform/PortMap.h"
#include "platform/PosixTermios2.h"
#include "platform/Profile.h"
#include "serial/AfPortControls.h"
#include "tests/monitor/InputRowFixture.h"
#include "tests/support/PtyPair.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QRadioButton>

namespace {

using namespace kalvaro::test;

class StartOptionsTest : public InputRowTest {
protected:
    void TearDown() override {
        InputRowTest::TearDown();
        afp::SetConfigFolder({});
        afp::TPortMap::ForgetRunPorts();
    }

    static TStartResult Parse(QStringList arguments) {
        arguments.prepend("kalvaro");
        return ParseStartOptions(arguments);
    }
};

TEST_F(StartOptionsTest, ComNumbersOpenTheBuiltInPairAsIfPicked) {
    // A machine without serial ports: the demo pair is COM1 and COM2.
    WriteSettings("[Ports]\nScan=0\n");
    const TStartResult start = Parse({"--port1", "COM1", "--port2", "2", "--mode", "hex"});
    ASSERT_EQ(start.Action, TStartAction::Run) << start.Message.toStdString();
    TForm1& form = Start();
    form.ApplyStartOptions(start.Options);
    ASSERT_TRUE(form.Comport1->IsOpen());
    ASSERT_TRUE(form.ComPort2->IsOpen());
    EXPECT_EQ(form.ComboBox1->PortNumber(), 1);
    EXPECT_EQ(form.ComComboBox3->PortNumber(), 2);
    EXPECT_EQ(form.ComboBox1->currentText(), "COM 1");
    EXPECT_EQ(form.Label29->text(), "COM1: 9600,N,8,1");
    EXPECT_EQ(form.Label30->text(), "COM2: 9600,N,8,1");
    EXPECT_TRUE(form.RadioButton2->isChecked());
    EXPECT_TRUE(form.CheckBox4->isEnabled()) << "the mode's own handling ran";

    // The pair carries what is typed.
    QTest::keyClicks(form.Edit4, "hi");
    EXPECT_TRUE(PumpUntil([&] { return form.Port2Count == 2; }));
    EXPECT_TRUE(form.RichEdit1->PlainText().starts_with("68")) << form.RichEdit1->PlainText();
}

TEST_F(StartOptionsTest, ADeviceOutsideThePortMapTakesTheNextFreeNumberWithItsSettings) {
    TPtyPair pty;
    const TStartResult start = Parse({"--port1", QString::fromStdString(pty.SlavePath()) + ":921600,8E2,rtscts"});
    ASSERT_EQ(start.Action, TStartAction::Run) << start.Message.toStdString();
    ASSERT_TRUE(start.Options.Port1);
    EXPECT_EQ(start.Options.Port1->Number, 2) << "COM1 is the virtual cable's";

    TForm1& form = Start();
    form.ApplyStartOptions(start.Options);
    ASSERT_TRUE(form.Comport1->IsOpen());
    EXPECT_EQ(form.Label29->text(), "COM2: 921600,E,8,2");
    EXPECT_EQ(form.Comport1->FlowControl(), fwRtsCts);
    EXPECT_EQ(form.ComboBox2->currentText(), "921600");
    EXPECT_EQ(form.ComboBox3->currentText(), "Even");
    EXPECT_EQ(form.ComboBox6->currentText(), "RtsCts");
    afp_line_settings line{};
    ASSERT_EQ(afp_line_get(pty.MasterFd(), &line), 0);
    EXPECT_EQ(line.ospeed, 921600u);
    // The number stays the pty's for the run: the chooser lists it.
    EXPECT_EQ(form.ComboBox1->PortNumber(), 2);
}

TEST_F(StartOptionsTest, TheScriptPlaysOncePort1IsOpenAndTheLogHasItsBytes) {
    const QString script = WriteScript("start.cpo", "%%HEX%%\r\n41 42\r\n");
    const QString log = QString::fromStdString((Folder / "start.log").string());
    const TStartResult start = Parse({"--port1", "COM1:115200", "--play", script, "--log", log});
    ASSERT_EQ(start.Action, TStartAction::Run) << start.Message.toStdString();
    TForm1& form = Start();
    // The far end, at the rate the command line sets.
    Peer = afp::OpenVirtualCommDevice(afp::virt::EndName(Pair, afp::virt::TEnd::B));
    ASSERT_TRUE(Peer);
    ASSERT_TRUE(ApplyEngineSettings(*Peer, EngineDcb(115200)));
    form.ApplyStartOptions(start.Options);
    EXPECT_EQ(form.windowTitle(), " Kalvaro \u2014 logging to start.log");
    EXPECT_TRUE(PeerGot("AB"));
    EXPECT_EQ(form.LoadFile, "start.cpo");
    form.LogToFile1->trigger();
    std::ifstream file(log.toStdString());
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("COM1 > 41"), std::string::npos) << text;
}

TEST_F(StartOptionsTest, APortThatCannotBeOpenedShowsTheErrorAndTheWindowStays) {
    const TStartResult start = Parse({"--port1", "COM1"});
    ASSERT_EQ(start.Action, TStartAction::Run) << start.Message.toStdString();
    // Another program holds the device.
    auto holder = afp::OpenVirtualCommDevice(afp::virt::EndName(Pair, afp::virt::TEnd::A));
    ASSERT_TRUE(holder);
    TErrorBoxes boxes;
    TForm1& form = Start();
    form.ApplyStartOptions(start.Options);
    EXPECT_FALSE(form.Comport1->IsOpen());
    EXPECT_EQ(boxes.Texts.size(), 1);
    EXPECT_TRUE(form.isVisible());
}

TEST_F(StartOptionsTest, ANetworkPortsNumberIsNoLineSetting) {
    WriteSettings("[Ports]\nScan=0\nDemoPair=0\nCOM4=rfc2217://127.0.0.1:7000\n");
    const TStartResult plain = Parse({"--port1", "rfc2217://127.0.0.1:7000"});
    ASSERT_EQ(plain.Action, TStartAction::Run) << plain.Message.toStdString();
    EXPECT_EQ(plain.Options.Port1->Number, 4);
    EXPECT_FALSE(plain.Options.Port1->BaudRate);
    const TStartResult set = Parse({"--port1", "rfc2217://127.0.0.1:7000:115200,7E1"});
    ASSERT_EQ(set.Action, TStartAction::Run) << set.Message.toStdString();
    EXPECT_EQ(set.Options.Port1->Number, 4);
    EXPECT_EQ(set.Options.Port1->BaudRate, br115200);
    EXPECT_EQ(set.Options.Port1->Databits, db7);
}

TEST_F(StartOptionsTest, ConfigChoosesTheSettingsFolderForTheRun) {
    const std::filesystem::path other = Folder / "other";
    std::filesystem::create_directories(other);
    std::ofstream(other / "c_28_zirk.ini") << "[Ports]\nScan=0\nDemoPair=0\nCOM7=virtual:elsewhere/A\n";
    EXPECT_EQ(Parse({"--port1", "COM7"}).Action, TStartAction::ExitFailed);
    const TStartResult start = Parse({"--config", QString::fromStdString(other.string()), "--port1", "COM7"});
    ASSERT_EQ(start.Action, TStartAction::Run) << start.Message.toStdString();
    EXPECT_EQ(afp::ProfilePath("c_28_zirk.ini"), (other / "c_28_zirk.ini").string());
}

TEST_F(StartOptionsTest, BadArgumentsSayWhatIsWrongInOneLine) {
    const std::pair<QStringList, const char*> cases[] = {
        {{"--bogus"}, "Unknown option 'bogus'."},
        {{"--port1", "COM1:115200,X"}, "--port1: bad line settings \"115200,X\""},
        {{"--port1", "COM1:9"}, "--port1: bad line settings \"9\""},
        {{"--port2", "COM1:20000000"}, "--port2: bad line settings \"20000000\""},
        {{"--port1", "COM9"}, "--port1: there is no port COM9"},
        {{"--port1", "/dev/kalvaro-none"}, "--port1: there is no device /dev/kalvaro-none"},
        {{"--port1", "1", "--port2", "COM1"}, "--port1 and --port2 name the same port COM1"},
        {{"--mode", "oct"}, "--mode: \"oct\" is none of ascii, hex, dec"},
        {{"--play", "/nonexistent/x.cpo"}, "--play: Cannot open file /nonexistent/x.cpo"},
        {{"--config", "/nonexistent"}, "--config: no folder /nonexistent"},
        {{"extra"}, "unexpected argument \"extra\""},
    };
    for (const auto& [arguments, message] : cases) {
        const TStartResult result = Parse(arguments);
        EXPECT_EQ(result.Action, TStartAction::ExitFailed) << arguments.join(' ').toStdString();
        EXPECT_EQ(result.Message.toStdString(), message);
    }
}

TEST(LineSettingsTest, FieldsInAnyOrderAndForm) {
    TPortStart start;
    ASSERT_TRUE(ParseLineSettings("3000000,8E2,rtscts", start));
    EXPECT_EQ(start.BaudRate, brUser);
    EXPECT_EQ(start.UserBaudRate, 3000000);
    EXPECT_EQ(start.Parity, paEven);
    EXPECT_EQ(start.Databits, db8);
    EXPECT_EQ(start.Stopbits, sbTwo);
    EXPECT_EQ(start.FlowControl, fwRtsCts);

    TPortStart listed;
    ASSERT_TRUE(ParseLineSettings("115200,o,7,1.5,XonXoff", listed));
    EXPECT_EQ(listed.BaudRate, br115200) << "a listed rate is its item";
    EXPECT_EQ(listed.UserBaudRate, 0);
    EXPECT_EQ(listed.Parity, paOdd);
    EXPECT_EQ(listed.Databits, db7);
    EXPECT_EQ(listed.Stopbits, sbOneAndHalf);
    EXPECT_EQ(listed.FlowControl, fwXOnXOff);

    for (const char* bad : {"", "115200,", "49", "9N1", "8X1", "8N3", "115200,N,8,1,rts"}) {
        TPortStart ignored;
        EXPECT_FALSE(ParseLineSettings(bad, ignored)) << bad;
    }
}

}  // namespace
