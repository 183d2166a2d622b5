#include "monitor/MonitorSettings.h"
#include "platform/Profile.h"
#include "serial/AfPortControls.h"
#include "tests/monitor/MainWindowFixture.h"
#include "widgets/ColorComboBox.h"
#include "widgets/CountField.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>

#include <filesystem>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace kalvaro::test;

struct TPlace {
    const char* Name;
    QRect Geometry;
};

TEST_F(MainWindowTest, WindowIsTheFixedSizeCentredFormWithItsMenu) {
    TForm1& form = Start();
    EXPECT_EQ(form.windowTitle(), " Kalvaro");
    EXPECT_EQ(form.size(), QSize(708, 560));
    EXPECT_EQ(form.minimumSize(), QSize(708, 560));
    EXPECT_EQ(form.maximumSize(), QSize(708, 560));
    EXPECT_EQ(form.font().family(), "MS Sans Serif");
    EXPECT_EQ(form.font().pointSize(), 8);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(form.geometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(form.geometry().center().y() - screen.center().y()), 1);

    const QList<QAction*> items = form.menuBar()->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text(), "E&xit");
    EXPECT_EQ(items[1]->text(), "&Editor");
    EXPECT_EQ(items[2]->text(), "&About ...");
    for (QAction* item : items) EXPECT_EQ(item->menu(), nullptr);
    EXPECT_EQ(form.centralWidget()->geometry().top(), form.menuBar()->geometry().bottom() + 1);
}

TEST_F(MainWindowTest, ControlsSitWhereTheFormPutsThem) {
    TForm1& form = Start();
    const TPlace places[] = {
        {"PortRegion1", {16, 8, 329, 81}},     {"PortRegion2", {352, 8, 329, 81}},
        {"InputRegion", {16, 96, 665, 169}},   {"OutputRegion", {16, 272, 665, 177}},
        {"InputRow", {16, 456, 665, 49}},      {"RichEdit1", {24, 121, 577, 113}},
        {"RichEdit2", {24, 304, 577, 113}},    {"Label1", {24, 16, 313, 13}},
        {"Label2", {360, 16, 313, 13}},        {"ComboBox1", {24, 31, 65, 22}},
        {"ComComboBox3", {358, 31, 65, 22}},   {"Image1", {96, 31, 178, 22}},
        {"Image2", {432, 31, 178, 22}},        {"ColorComboBox1", {281, 31, 57, 22}},
        {"ColorComboBox2", {615, 31, 57, 22}}, {"Button7", {26, 69, 34, 15}},
        {"Button6", {359, 69, 34, 15}},        {"Label7", {96, 103, 65, 16}},
        {"Label10", {164, 103, 61, 16}},       {"Led1", {109, 70, 13, 13}},
        {"Led2", {165, 70, 13, 13}},           {"Led3", {221, 70, 13, 13}},
        {"Led4", {277, 70, 13, 13}},           {"led5", {445, 70, 13, 13}},
        {"led6", {501, 70, 13, 13}},           {"led7", {557, 70, 13, 13}},
        {"led8", {613, 70, 13, 13}},           {"ledCTS", {248, 282, 33, 17}},
        {"LEDDTR", {288, 282, 33, 17}},        {"Image3", {608, 344, 65, 65}},
    };
    for (const auto& [name, geometry] : places) {
        auto* widget = form.findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(widget->parentWidget(), form.centralWidget()) << name;
        EXPECT_EQ(widget->geometry(), geometry) << name;
    }
    const std::pair<const char*, QPoint> corners[] = {
        {"Label29", {104, 37}}, {"Label30", {439, 37}}, {"Label11", {114, 282}}, {"Label12", {126, 70}},
        {"Label15", {294, 70}}, {"Label31", {462, 70}}, {"Label34", {630, 70}}};
    for (const auto& [name, corner] : corners) EXPECT_EQ(form.findChild<QWidget*>(name)->pos(), corner) << name;

    for (QFrame* panel : {form.Panel1, form.Panel2}) {
        EXPECT_TRUE(panel->isHidden());
        EXPECT_EQ(panel->width(), 329);
        EXPECT_EQ(panel->y(), 56);
        EXPECT_EQ(TForm1::BackgroundColor(panel), InactiveCaptionColor);
    }
    EXPECT_EQ(form.Panel1->x(), 16);
    EXPECT_EQ(form.Panel2->x(), 352);
    const TPlace inPanel[] = {
        {"ComboBox2", {80, 8, 60, 21}},  {"ComboBox3", {80, 32, 57, 21}},  {"ComboBox4", {80, 56, 37, 21}},
        {"ComboBox5", {80, 80, 37, 21}}, {"ComboBox6", {80, 104, 84, 21}}, {"Button3", {264, 99, 51, 25}},
        {"ComboBox11", {80, 8, 60, 21}}, {"ComboBox7", {80, 104, 84, 21}}, {"Button5", {264, 99, 51, 25}}};
    for (const auto& [name, geometry] : inPanel)
        EXPECT_EQ(form.findChild<QWidget*>(name)->geometry(), geometry) << name;
    EXPECT_EQ(form.ComboBox2->parentWidget(), form.Panel1);
    EXPECT_EQ(form.ComboBox11->parentWidget(), form.Panel2);

    EXPECT_EQ(form.Edit4Button->width(), 42);
    EXPECT_EQ(form.Edit4Button->geometry().right(), form.Edit4->rect().right());
}

TEST_F(MainWindowTest, ControlsCarryTheirCaptionsHintsFontsAndColours) {
    TForm1& form = Start();
    const std::pair<const char*, const char*> texts[] = {{"Label1", "Port 1               setting"},
                                                         {"Label2", "Port 2               setting"},
                                                         {"Button7", "OFF"},
                                                         {"Button6", "OFF"},
                                                         {"Label12", "CTS"},
                                                         {"Label13", "DSR"},
                                                         {"Label14", "RING"},
                                                         {"Label15", "RLSD"},
                                                         {"Label31", "CTS"},
                                                         {"Label32", "DSR"},
                                                         {"Label33", "RING"},
                                                         {"Label34", "RLSD"},
                                                         {"Button3", "OK"},
                                                         {"Button5", "OK"},
                                                         {"Label3", "Input from"},
                                                         {"Button1", "Clear"},
                                                         {"Button2", "Save"},
                                                         {"Label5", "Data counts"},
                                                         {"RadioButton1", "ASCII"},
                                                         {"RadioButton2", "HEX"},
                                                         {"RadioButton3", "Decimal"},
                                                         {"CheckBox4", "Aply LF"},
                                                         {"Label8", "Separe string"},
                                                         {"Label4", "Output to Port"},
                                                         {"Label11", "COM1"},
                                                         {"ledCTS", "RTS"},
                                                         {"LEDDTR", "DTR"},
                                                         {"Button4", "Clear"},
                                                         {"Label6", "Data counts"},
                                                         {"RadioButton4", "ASCII"},
                                                         {"RadioButton5", "HEX"},
                                                         {"RadioButton6", "Decimal"},
                                                         {"CheckBox1", "Aply CR,LF"},
                                                         {"Label9", "Separe string"},
                                                         {"Label18", "INPUT Box"},
                                                         {"Label35", "Value"},
                                                         {"Rascii", "ASCII"},
                                                         {"rhex", "HEX"},
                                                         {"Rdec", "Dec"},
                                                         {"Label17", "Terminated"},
                                                         {"Rchar", "Auto"},
                                                         {"Rstring", "Enter"},
                                                         {"Label16", "Send"},
                                                         {"ChCR", "CR"},
                                                         {"chlf", "LF"},
                                                         {"Label7", ""},
                                                         {"Label10", ""},
                                                         {"Edit2", "0"},
                                                         {"Edit7", "0"},
                                                         {"Edit3", "0"},
                                                         {"Edit4", ""}};
    for (const auto& [name, text] : texts) {
        QObject* control = form.findChild<QObject*>(name);
        ASSERT_NE(control, nullptr) << name;
        EXPECT_EQ(control->property("text").toString(), QString(text)) << name;
    }
    const std::pair<QWidget*, const char*> hints[] = {{form.ledCTS, "On/Off RTS"},
                                                      {form.LEDDTR, "On/Off DTR"},
                                                      {form.Image3, "About ..."},
                                                      {form.Rascii, "ASCII Input [0]"},
                                                      {form.rhex, "Hexadecimal input - 2 characters [00]"},
                                                      {form.Rdec, "Decimal input - 3 numbers [000]"},
                                                      {form.Rchar, "Send Immediately"},
                                                      {form.Rstring, "Press ENTER to send"},
                                                      {form.ChCR, "Output with CR"},
                                                      {form.chlf, "Output with LF (NL)"},
                                                      {form.Edit4Button, "Load from file"},
                                                      {form.Edit4, ""}};
    for (const auto& [widget, hint] : hints)
        EXPECT_EQ(widget->toolTip(), QString(hint)) << widget->objectName().toStdString();

    for (QLabel* label : {form.Label7, form.Label10, form.Label11}) {
        EXPECT_TRUE(label->font().bold()) << label->objectName().toStdString();
        EXPECT_EQ(label->font().pixelSize(), 13) << label->objectName().toStdString();
    }
    for (QLabel* chip : {form.Label7, form.Label10}) {
        EXPECT_EQ(TForm1::BackgroundColor(chip), ColorBlack);
        EXPECT_EQ(chip->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    }
    EXPECT_EQ(form.Image3->cursor().shape(), Qt::PointingHandCursor);
    for (const char* name : {"PortRegion1", "PortRegion2", "InputHeader", "OutputHeader"})
        EXPECT_EQ(TForm1::BackgroundColor(form.findChild<QWidget*>(name)), InactiveCaptionColor) << name;
    for (QFrame* lamp : {form.Led1, form.Led2, form.Led3, form.Led4, form.led5, form.led6, form.led7, form.led8})
        EXPECT_EQ(TForm1::BackgroundColor(lamp), ButtonFaceColor()) << lamp->objectName().toStdString();
    EXPECT_EQ(TForm1::FaceColor(form.ledCTS), ButtonFaceColor());
    EXPECT_EQ(TForm1::FaceColor(form.LEDDTR), ButtonFaceColor());

    EXPECT_TRUE(form.RadioButton1->isChecked());
    EXPECT_TRUE(form.RadioButton4->isChecked());
    EXPECT_TRUE(form.Rascii->isChecked());
    EXPECT_TRUE(form.Rchar->isChecked());
    EXPECT_FALSE(form.ChCR->isChecked());
    EXPECT_FALSE(form.chlf->isChecked());
    for (QCheckBox* aply : {form.CheckBox4, form.CheckBox1}) {
        EXPECT_FALSE(aply->isEnabled());
        EXPECT_FALSE(aply->isChecked());
    }
    // Radio groups are separate: checking one of the lower view leaves the upper one alone.
    Click(form.RadioButton5);
    EXPECT_TRUE(form.RadioButton5->isChecked());
    EXPECT_TRUE(form.RadioButton1->isChecked());
    EXPECT_TRUE(form.Rascii->isChecked());

    EXPECT_TRUE(form.Memo1->isHidden());
    EXPECT_EQ(form.Memo1->width(), 185);
    EXPECT_TRUE(form.Button7->isVisible()) << "the OFF buttons show until the first refresh";
    EXPECT_TRUE(form.Button6->isVisible());
}

TEST_F(MainWindowTest, ComponentsAndTimersAreSetUpAsStored) {
    TForm1& form = Start();
    EXPECT_EQ(form.Comport1->objectName(), "Comport1");
    EXPECT_EQ(form.ComPort2->objectName(), "ComPort2");
    for (TAfComPort* port : {form.Comport1, form.ComPort2}) {
        EXPECT_EQ(port->parent(), &form);
        EXPECT_EQ(port->BaudRate(), br9600);
        EXPECT_EQ(port->ComNumber(), 0);
        EXPECT_FALSE(port->IsOpen());
        EXPECT_EQ(port->SettingsText(), "COM0: 9600,N,8,1");
    }
    EXPECT_EQ(form.ComboBox1->ComPort(), form.Comport1);
    EXPECT_EQ(form.ComComboBox3->ComPort(), form.ComPort2);

    // The polling timers (Timer2, Timer3) sleep while their ports are closed.
    const std::tuple<QTimer*, int, bool> timers[] = {{form.Timer1, 1000, true},
                                                     {form.Timer2, 1, false},
                                                     {form.Timer3, 1, false},
                                                     {form.Timer4, 1000, false},
                                                     {form.Timer5, 1000, false}};
    for (const auto& [timer, interval, running] : timers) {
        EXPECT_EQ(timer->interval(), interval) << timer->objectName().toStdString();
        EXPECT_TRUE(PumpUntil([&] { return timer->isActive() == running; })) << timer->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, AStartWithoutTheMonitorsKeysGivesEveryDefault) {
    // The settings file holds only the port map that keeps the tests off the
    // machine's serial devices: for the monitor that is a first start.
    TForm1& form = Start();
    EXPECT_EQ(form.ColorComboBox1->Value(), 0x00CC00);
    EXPECT_EQ(form.ColorComboBox1->currentIndex(), -1);
    EXPECT_EQ(form.ColorComboBox2->Value(), 0xFFFFFF);
    EXPECT_EQ(form.ColorComboBox3->Value(), 0xFFFF00);
    EXPECT_EQ(form.Edit5->text(), "");
    EXPECT_EQ(form.Edit6->text(), "");
    EXPECT_EQ(form.EditPath, "");
    EXPECT_EQ(form.EditFile, "");
    EXPECT_EQ(form.LoadPath, "");
    EXPECT_EQ(form.LoadFile, "");
    EXPECT_EQ(Windows->Form2.UserCaption(), "User");
    EXPECT_EQ(Windows->Form2.UserHint(), "User defined value");
    EXPECT_EQ(Windows->Form2.UserOut(), "00");
    EXPECT_EQ(form.RichEdit1->Size(), 0u);
    EXPECT_EQ(form.RichEdit2->Size(), 0u);
}

TEST_F(MainWindowTest, HandEditedValuesAreReadByTheirRules) {
    WriteSettingsWithPorts({},
                           "[ComPort1]\nColor=0xFF\n[ComPort2]\nColor=$FF\n[ComPort3]\nColor=red\nSep1=abc\n"
                           "Sep2=a\nEditPath=\"/a b\"\n");
    TForm1& form = Start();
    EXPECT_EQ(form.ColorComboBox1->Value(), 255);
    EXPECT_EQ(form.ColorComboBox1->currentIndex(), 9) << "255 is the list's red";
    EXPECT_EQ(form.ColorComboBox2->Value(), 255);
    EXPECT_EQ(form.ColorComboBox3->Value(), 0xFFFF00);
    EXPECT_EQ(form.Edit5->text(), "b");
    EXPECT_EQ(form.Edit6->text(), "");
    EXPECT_EQ(form.EditPath, "/a b");
    Windows.reset();

    WriteSettingsWithPorts({}, "[ComPort1]\nColor=red\n[ComPort3]\nSep1=x-->>x\nSep2=x\n");
    TForm1& again = Start();
    EXPECT_EQ(again.ColorComboBox1->Value(), 0x00CC00);
    EXPECT_EQ(again.Edit5->text(), "-->>") << "longer than three characters is shown whole";
    EXPECT_EQ(again.Edit6->text(), "");
}

TEST_F(MainWindowTest, TheCloseWritesEveryKeyInOrderAndTheNextStartReadsThemBack) {
    TForm1& form = Start();
    QSignalSpy closed(&form, &TForm1::Closed);
    form.ColorComboBox1->SetValue(0x0000FF);
    form.ColorComboBox2->SetValue(0x123456);
    PickEntry(form.ColorComboBox3, 10);
    QTest::keyClicks(form.Edit5, " - ");
    QTest::keyClicks(form.Edit6, "abcd");
    EXPECT_EQ(form.Edit6->text(), "abc") << "three characters can be typed";
    form.EditPath = "/scripts";
    form.EditFile = "edit.cpo";
    form.LoadPath = "/played";
    form.LoadFile = "load.cpo";
    Windows->Form2.Ucap->setText("Ping");
    Windows->Form2.Uhint->setText("Sends ping");
    Windows->Form2.uout->setText("7F");

    form.Exit1->trigger();
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(form.isVisible());
    const std::string text = afp::ProfileText(SettingsFileName);
    const char* const inOrder[] = {"[ComPort1]\nColor=255\n", "[ComPort2]\nColor=1193046\n",
                                   "[ComPort3]\nColor=65280\nSep1=x - x\nSep2=xabcx\nEditPath=/scripts\n"
                                   "EditFile=edit.cpo\nLoadPath=/played\nLoadFile=load.cpo\nUserCaption=Ping\n"
                                   "UserHint=Sends ping\nUserOut=7F\n"};
    std::size_t at = 0;
    for (const char* part : inOrder) {
        const std::size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos) << part << "\nin\n" << text;
        at = found;
    }
    Windows.reset();

    TForm1& next = Start();
    EXPECT_EQ(next.ColorComboBox1->Value(), 0x0000FF);
    EXPECT_EQ(next.ColorComboBox2->Value(), 0x123456);
    EXPECT_EQ(next.ColorComboBox3->Value(), 0x00FF00);
    EXPECT_EQ(next.Edit5->text(), " - ") << "the blanks survive inside the x's";
    EXPECT_EQ(next.Edit6->text(), "abc");
    EXPECT_EQ(next.EditPath, "/scripts");
    EXPECT_EQ(next.EditFile, "edit.cpo");
    EXPECT_EQ(next.LoadPath, "/played");
    EXPECT_EQ(next.LoadFile, "load.cpo");
    EXPECT_EQ(Windows->Form2.UserCaption(), "Ping");
    EXPECT_EQ(Windows->Form2.UserHint(), "Sends ping");
    EXPECT_EQ(Windows->Form2.UserOut(), "7F");
}

// A close killed in its write leaves a hidden temporary copy of the file;
// the next start deletes it, but not the one of a write still going on.
TEST_F(MainWindowTest, TheStartRemovesTemporaryFilesOfWritesThatDied) {
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const auto folder = SettingsFile().parent_path();
    const auto stale = folder / (".c_28_zirk.ini.tmp-" + std::to_string(gone) + "-0-1");
    const auto live = folder / (".c_28_zirk.ini.tmp-" + std::to_string(::getpid()) + "-0-1");
    for (const auto& path : {stale, live}) std::ofstream(path) << "[ComPort1]\nColor=255\n";

    TForm1& form = Start();
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(live));
    EXPECT_EQ(form.ColorComboBox1->Value(), 0x00CC00) << "a temporary file is never read";
    std::filesystem::remove(live);
}

TEST_F(MainWindowTest, AnUnwritableSettingsFolderShowsTheErrorAndKeepsTheWindowOpen) {
    TForm1& form = Start();
    QSignalSpy closed(&form, &TForm1::Closed);
    TErrorBoxes boxes;
    {
        TUnwritableSettings unwritable;
        EXPECT_FALSE(form.close());
    }
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(boxes.Texts[0], "Unable to write to c_28_zirk.ini.");
    EXPECT_EQ(boxes.Captions[0], "Kalvaro");
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(closed.count(), 0);

    // Once the folder is back the same close goes through.
    EXPECT_TRUE(form.close());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(boxes.Texts.size(), 1);
}

// Activation is provoked by activating another of the program's windows and
// then the main window again (activateWindow, which the offscreen platform
// carries out at once), as a user switching windows does.
TEST_F(MainWindowTest, ComingBackFromAnotherWindowOfTheProgramResetsTheCounts) {
    TForm1& form = Start();
    form.Port1Count = 5;
    form.Port2Count = 6;
    form.SentCount = 7;
    form.Edit2->setText("5");

    form.Editor1->trigger();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &Windows->Editor; }));
    EXPECT_EQ(form.Port1Count, 5) << "leaving the window resets nothing";
    form.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &form; }));
    EXPECT_EQ(form.Port1Count, 0);
    EXPECT_EQ(form.Port2Count, 0);
    EXPECT_EQ(form.SentCount, 0);
    EXPECT_EQ(form.Edit2->text(), "5") << "the count fields keep the old numbers";

    // A window that is none of the program's forms (a message box, say) does
    // not count.
    form.Port1Count = 3;
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &other; }));
    form.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &form; }));
    EXPECT_EQ(form.Port1Count, 3);
}

TEST_F(MainWindowTest, TheInputBoxIsTheKeyboardsHome) {
    TForm1& form = Start();
    EXPECT_TRUE(form.Edit4->hasFocus());

    // The upper view can take the focus for selecting, but a typed character
    // goes nowhere and sends the focus home; keys without text still scroll.
    form.RichEdit1->setFocus();
    ASSERT_TRUE(form.RichEdit1->hasFocus());
    QTest::keyClick(form.RichEdit1, Qt::Key_Down);
    EXPECT_TRUE(form.RichEdit1->hasFocus());
    QTest::keyClick(form.RichEdit1, Qt::Key_A);
    EXPECT_TRUE(form.Edit4->hasFocus());
    EXPECT_EQ(form.Edit4->text(), "");
    Click(form.RichEdit1->viewport());
    ASSERT_TRUE(form.RichEdit1->hasFocus()) << "a click lets the user select in the upper view";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_B);
    EXPECT_TRUE(form.Edit4->hasFocus());
    EXPECT_EQ(form.Edit4->text(), "");

    for (QWidget* passer : std::initializer_list<QWidget*>{form.RichEdit2, form.Edit2, form.Edit7, form.Edit3}) {
        passer->setFocus(Qt::MouseFocusReason);
        EXPECT_TRUE(form.Edit4->hasFocus()) << passer->objectName().toStdString();
    }
    Click(form.RichEdit2->viewport());
    EXPECT_TRUE(form.Edit4->hasFocus());

    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{
             form.RadioButton2, form.RadioButton3, form.RadioButton1, form.RadioButton6, form.Button1, form.Button4}) {
        form.Edit5->setFocus();
        Click(button);
        EXPECT_TRUE(form.Edit4->hasFocus()) << button->objectName().toStdString();
    }
    for (QCheckBox* aply : {form.CheckBox4, form.CheckBox1}) {
        aply->setEnabled(true);
        form.Edit5->setFocus();
        Click(aply);
        EXPECT_TRUE(form.Edit4->hasFocus()) << aply->objectName().toStdString();
    }

    Click(form.Edit5);
    EXPECT_TRUE(form.Edit5->hasFocus()) << "the separator fields keep the focus";
}

TEST_F(MainWindowTest, AboutOpensModallyFromTheMenuAndThePicture) {
    TForm1& form = Start();
    std::vector<QDialog*> shown;
    form.SetModalRunner([&](QDialog& dialog) {
        shown.push_back(&dialog);
        return int(QDialog::Accepted);
    });
    form.About1->trigger();
    Click(form.Image3);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], &Windows->Form3);
    EXPECT_EQ(shown[1], &Windows->Form3);

    // Without the seam it is a real modal window, closed by its "OK".
    form.SetModalRunner({});
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        wasModal = QApplication::activeModalWidget() == &Windows->Form3;
        Click(Windows->Form3.OKButton);
    });
    form.About1->trigger();
    EXPECT_TRUE(wasModal);
    EXPECT_FALSE(Windows->Form3.isVisible());
    EXPECT_EQ(Windows->Form3.windowTitle(), "About ...");
}

TEST_F(MainWindowTest, TheEditorOpensBesideTheMainWindow) {
    TForm1& form = Start();
    form.Editor1->trigger();
    EXPECT_TRUE(Windows->Editor.isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(Windows->Editor.windowTitle(), "New");
    EXPECT_EQ(Windows->Editor.size(), QSize(540, 405));
    EXPECT_TRUE(form.isVisible());
}

}  // namespace
