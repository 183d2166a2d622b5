// The main window's handler table: which menu entry, control, timer and port
// event runs which handler, each through AfGuard (ui/HandlerTable.h).
#include "monitor/Unit1.h"

#include "serial/AfPortControls.h"
#include "ui/HandlerTable.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

void TForm1::WireHandlers() {
    const std::initializer_list<THandlerRow<TForm1>> table = {
        // The main menu.
        {Exit1, &QAction::triggered, &TForm1::Exit1Click},
        {Editor1, &QAction::triggered, &TForm1::Editor1Click},
        {About1, &QAction::triggered, &TForm1::About1Click},

        // The port panels. A chooser's pick runs its handler before the
        // chooser applies the number and opens the port.
        {ComboBox1->OnChange, &TForm1::ComboBox1Change},
        {ComComboBox3->OnChange, &TForm1::ComComboBox3Change},
        {Image1, MouseClick, &TForm1::Image1Click},
        {Label29, MouseClick, &TForm1::Image1Click},
        {Image2, MouseClick, &TForm1::Image2Click},
        {Label30, MouseClick, &TForm1::Image2Click},
        {Button3, &QPushButton::clicked, &TForm1::Button3Click},
        {Button5, &QPushButton::clicked, &TForm1::Button5Click},
        {Button7, &QPushButton::clicked, &TForm1::Button7Click},
        {Button6, &QPushButton::clicked, &TForm1::Button6Click},
        // The settings boxes: a pick and a typed change each; filling the
        // boxes from the port emits neither.
        {ComboBox2, &QComboBox::activated, &TForm1::ComboBox2Change},
        {ComboBox2->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox2Change},
        {ComboBox2->lineEdit(), &QLineEdit::editingFinished, &TForm1::ComboBox2Typed},
        {ComboBox3, &QComboBox::activated, &TForm1::ComboBox3Change},
        {ComboBox3->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox3Change},
        {ComboBox4, &QComboBox::activated, &TForm1::ComboBox4Change},
        {ComboBox4->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox4Change},
        {ComboBox5, &QComboBox::activated, &TForm1::ComboBox5Change},
        {ComboBox5->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox5Change},
        {ComboBox6, &QComboBox::activated, &TForm1::ComboBox6Change},
        {ComboBox6->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox6Change},
        {ComboBox11, &QComboBox::activated, &TForm1::ComboBox11Change},
        {ComboBox11->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox11Change},
        {ComboBox11->lineEdit(), &QLineEdit::editingFinished, &TForm1::ComboBox11Typed},
        {ComboBox10, &QComboBox::activated, &TForm1::ComboBox10Change},
        {ComboBox10->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox10Change},
        {ComboBox9, &QComboBox::activated, &TForm1::ComboBox9Change},
        {ComboBox9->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox9Change},
        {ComboBox8, &QComboBox::activated, &TForm1::ComboBox8Change},
        {ComboBox8->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox8Change},
        {ComboBox7, &QComboBox::activated, &TForm1::ComboBox7Change},
        {ComboBox7->lineEdit(), &QLineEdit::textEdited, &TForm1::ComboBox7Change},

        // The timers.
        {Timer1, &QTimer::timeout, &TForm1::Timer1Timer},
        {Timer2, &QTimer::timeout, &TForm1::Timer2Timer},
        {Timer3, &QTimer::timeout, &TForm1::Timer3Timer},
        {Timer4, &QTimer::timeout, &TForm1::Timer4Timer},
        {Timer5, &QTimer::timeout, &TForm1::Timer5Timer},

        // The modem lines: the lamps follow the ports' events, and the lower
        // view's header switches port 1's RTS and DTR.
        {Comport1->OnCTSChanged, &TForm1::Comport1CTSChanged},
        {Comport1->OnDSRChanged, &TForm1::Comport1DSRChanged},
        {Comport1->OnRINGDetected, &TForm1::Comport1RINGDetected},
        {Comport1->OnRLSDChanged, &TForm1::Comport1RLSDChanged},
        {ComPort2->OnCTSChanged, &TForm1::ComPort2CTSChanged},
        {ComPort2->OnDSRChanged, &TForm1::ComPort2DSRChanged},
        {ComPort2->OnRINGDetected, &TForm1::ComPort2RINGDetected},
        {ComPort2->OnRLSDChanged, &TForm1::ComPort2RLSDChanged},
        {ledCTS, &QPushButton::clicked, &TForm1::ledCTSClick},
        {LEDDTR, &QPushButton::clicked, &TForm1::LEDDTRClick},

        // The views: display modes, "Aply", clearing, saving, the About
        // picture.
        {RadioButton1, &QRadioButton::clicked, &TForm1::RadioButton1Click},
        {RadioButton2, &QRadioButton::clicked, &TForm1::RadioButton2Click},
        {RadioButton3, &QRadioButton::clicked, &TForm1::RadioButton3Click},
        {RadioButton4, &QRadioButton::clicked, &TForm1::RadioButton4Click},
        {RadioButton5, &QRadioButton::clicked, &TForm1::RadioButton5Click},
        {RadioButton6, &QRadioButton::clicked, &TForm1::RadioButton6Click},
        {CheckBox4, &QCheckBox::clicked, &TForm1::CheckBox4Click},
        {CheckBox1, &QCheckBox::clicked, &TForm1::CheckBox1Click},
        {Button1, &QPushButton::clicked, &TForm1::Button1Click},
        {Button4, &QPushButton::clicked, &TForm1::Button4Click},
        {Button2, &QPushButton::clicked, &TForm1::Button2Click},
        {Label18, MouseClick, &TForm1::Label18Click},
        {Image3, MouseClick, &TForm1::Image3Click},
        // The views' context menus and their shortcuts: time stamps and
        // the log.
        {Stamps1, &QAction::triggered, &TForm1::Stamps1Click},
        {SentStamps1, &QAction::triggered, &TForm1::SentStamps1Click},
        {StampGap1, &QAction::triggered, &TForm1::StampGap1Click},
        {LogToFile1, &QAction::triggered, &TForm1::LogToFile1Click},
        {Find1, &QAction::triggered, &TForm1::Find1Click},
        {LogRaw1, &QAction::triggered, &TForm1::LogRaw1Click},

        // The input row. Every change of the box's text runs Edit4Change,
        // the program's too: the player's appending and the box's own
        // clearing are sent by the same rules as typing.
        {Rchar, &QRadioButton::clicked, &TForm1::RcharClick},
        {Rstring, &QRadioButton::clicked, &TForm1::RstringClick},
        {Rascii, &QRadioButton::clicked, &TForm1::RasciiClick},
        {rhex, &QRadioButton::clicked, &TForm1::rhexClick},
        {Rdec, &QRadioButton::clicked, &TForm1::RdecClick},
        {ChCR, &QCheckBox::clicked, &TForm1::ChCRClick},
        {chlf, &QCheckBox::clicked, &TForm1::chlfClick},
        {Edit4, &QLineEdit::textChanged, &TForm1::Edit4Change},
        {Edit4Button, &QToolButton::clicked, &TForm1::Edit4ButtonClick},
    };
    ConnectHandlers(this, table);
    // Runs inside the Open that raised it, so an error in it goes to the
    // handler that opened the port: not guarded here.
    Comport1->OnPortOpen = [this](QObject*) { Comport1PortOpen(); };
}
