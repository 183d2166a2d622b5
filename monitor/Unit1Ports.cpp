// The main window's port panels (choosers, settings panels, "OFF", the status
// refresh) and the modem lamps and switches.
#include "monitor/Unit1.h"

#include "platform/PortMap.h"
#include "serial/AfDeviceWatch.h"
#include "serial/AfPortControls.h"
#include "ui/AfApplicationError.h"
#include "widgets/ColorComboBox.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

#include <optional>

namespace {

constexpr int PanelWidth = 329;

// The rates a baud-rate box takes as typed numbers: the slowest teleprinter
// line to the fastest USB adapters.
constexpr int SlowestTypedRate = 50;
constexpr int FastestTypedRate = 12'000'000;

// A whole number of digits only within the typed rates, or none.
std::optional<int> TypedRate(const QString& text) {
    if (text.isEmpty() || text.size() > 8) return std::nullopt;
    for (const QChar character : text)
        if (!character.isDigit() || character.unicode() > u'9') return std::nullopt;
    const int rate = text.toInt();
    if (rate < SlowestTypedRate || rate > FastestTypedRate) return std::nullopt;
    return rate;
}

void SetSummary(QLabel* summary, const QString& text) {
    summary->setText(text);
    summary->adjustSize();
}

// Shows each height at once, without waiting for the event loop, so that the
// panel is seen growing or shrinking.
void SetPanelHeight(QFrame* panel, int height) {
    panel->resize(PanelWidth, height);
    panel->repaint();
}

}  // namespace

TAfPortComboBox* TForm1::CreatePortChooser(QWidget* parent, const char* name, TAfComPort* port) {
    auto* chooser = new TAfPortComboBox(parent);
    chooser->setObjectName(name);
    chooser->SetComPort(port);
    return chooser;
}

void TForm1::WatchDevices() {
    if (!afp::TPortMap::LoadDefault().AutoReopen()) return;
    DeviceWatch = new TAfDeviceWatch(this);
    for (TAfComPort* port : {Comport1, ComPort2}) port->SetDeviceWatch(DeviceWatch);
    for (TAfPortComboBox* chooser : {ComboBox1, ComComboBox3}) chooser->SetDeviceWatch(DeviceWatch);
}

TForm1::TPortRoles TForm1::Roles(int port) const {
    if (port == 1)
        return {Comport1, Label1,         Label29, Button7,
                Label7,   ColorComboBox1, Panel1,  {ComboBox2, ComboBox3, ComboBox4, ComboBox5, ComboBox6}};
    return {ComPort2, Label2,         Label30, Button6,
            Label10,  ColorComboBox2, Panel2,  {ComboBox11, ComboBox10, ComboBox9, ComboBox8, ComboBox7}};
}

void TForm1::Image1Click() { TogglePanel(1); }
void TForm1::Image2Click() { TogglePanel(2); }
void TForm1::Button3Click() { HidePanel(Panel1); }
void TForm1::Button5Click() { HidePanel(Panel2); }
void TForm1::Button7Click() { SwitchOff(1); }
void TForm1::Button6Click() { SwitchOff(2); }
void TForm1::ComboBox1Change() { ShowSummary(1); }
void TForm1::ComComboBox3Change() { ShowSummary(2); }
void TForm1::ComboBox2Change() { ApplySetting(1, lsBaudRate); }
void TForm1::ComboBox3Change() { ApplySetting(1, lsParity); }
void TForm1::ComboBox4Change() { ApplySetting(1, lsDatabits); }
void TForm1::ComboBox5Change() { ApplySetting(1, lsStopbits); }
void TForm1::ComboBox6Change() { ApplySetting(1, lsFlowControl); }
void TForm1::ComboBox11Change() { ApplySetting(2, lsBaudRate); }
void TForm1::ComboBox10Change() { ApplySetting(2, lsParity); }
void TForm1::ComboBox9Change() { ApplySetting(2, lsDatabits); }
void TForm1::ComboBox8Change() { ApplySetting(2, lsStopbits); }
void TForm1::ComboBox7Change() { ApplySetting(2, lsFlowControl); }
void TForm1::ComboBox2Typed() { ApplyTypedBaudRate(1); }
void TForm1::ComboBox11Typed() { ApplyTypedBaudRate(2); }

void TForm1::TogglePanel(int port) {
    const TPortRoles roles = Roles(port);
    if (!roles.Port->IsOpen()) return;
    if (!roles.Panel->isHidden()) {
        HidePanel(roles.Panel);
    } else {
        roles.Panel->resize(PanelWidth, 2);
        roles.Panel->show();
        for (int height = 2; height <= 136; height += 2) SetPanelHeight(roles.Panel, height);
    }
    FillBoxes(roles);
}

void TForm1::HidePanel(QFrame* panel) {
    for (int height = 90; height >= 2; height -= 2) SetPanelHeight(panel, height);
    panel->hide();
}

void TForm1::FillBoxes(const TPortRoles& roles) {
    const auto& boxes = roles.Boxes;
    const QSignalBlocker baud(boxes[lsBaudRate]), parity(boxes[lsParity]), data(boxes[lsDatabits]),
        stop(boxes[lsStopbits]), flow(boxes[lsFlowControl]);
    if (roles.Port->BaudRate() != brUser)
        boxes[lsBaudRate]->setCurrentIndex(roles.Port->BaudRate());
    else if (roles.Port->UserBaudRate() > 0)
        boxes[lsBaudRate]->setEditText(QString::number(roles.Port->UserBaudRate()));
    boxes[lsParity]->setCurrentIndex(roles.Port->Parity());
    boxes[lsDatabits]->setCurrentIndex(roles.Port->Databits());
    boxes[lsStopbits]->setCurrentIndex(roles.Port->Stopbits());
    boxes[lsFlowControl]->setCurrentIndex(roles.Port->FlowControl());
}

void TForm1::ApplySetting(int port, TLineSetting setting) {
    const TPortRoles roles = Roles(port);
    QComboBox* box = roles.Boxes[setting];
    roles.Port->Close();
    // An editable box keeps its last index while a text that is no item is
    // typed: the index is the typed text's.
    const int index = box->findText(box->currentText(), Qt::MatchExactly);
    if (index >= 0 && index < box->count()) {
        switch (setting) {
            case lsBaudRate: roles.Port->SetBaudRate(static_cast<TAfBaudrate>(index)); break;
            case lsParity: roles.Port->SetParity(static_cast<TAfParity>(index)); break;
            case lsDatabits: roles.Port->SetDatabits(static_cast<TAfDatabits>(index)); break;
            case lsStopbits: roles.Port->SetStopbits(static_cast<TAfStopbits>(index)); break;
            case lsFlowControl: roles.Port->SetFlowControl(static_cast<TAfFlowControl>(index)); break;
        }
    }
    roles.Port->Open();
}

void TForm1::ApplyTypedBaudRate(int port) {
    const TPortRoles roles = Roles(port);
    QComboBox* box = roles.Boxes[lsBaudRate];
    // An item's text has been applied while it was typed.
    if (box->findText(box->currentText(), Qt::MatchExactly) >= 0) return;
    const std::optional<int> rate = TypedRate(box->currentText());
    if (!rate) return;
    // Leaving the box once more is no new setting.
    if (roles.Port->BaudRate() == brUser && roles.Port->UserBaudRate() == *rate) return;
    roles.Port->Close();
    roles.Port->SetUserBaudRate(*rate);
    roles.Port->Open();
}

void TForm1::SwitchOff(int port) {
    Roles(port).Port->SetOpen(false);
    Edit4->setFocus();
}

void TForm1::ShowSummary(int port) {
    const TPortRoles roles = Roles(port);
    SetSummary(roles.Summary, QString::fromStdString(roles.Port->SettingsText()));
}

void TForm1::Timer1Timer() {
    PaintLineLamp(Led1, Comport1, 1);
    PaintLineLamp(led5, ComPort2, 1);
    RefreshPort(Roles(1));
    if (Comport1->IsOpen()) {
        Label11->setText(Label7->text());
        Label11->adjustSize();
    }
    SetBackgroundColor(Edit4, Comport1->IsOpen() ? WindowColor() : ButtonFaceColor());
    RefreshPort(Roles(2));
    SetFontColor(Label4, FontColor(Label1));
}

void TForm1::RefreshPort(const TPortRoles& roles) {
    const bool open = roles.Port->IsOpen();
    // A port waiting for its lost device keeps its "OFF", which ends the wait.
    const bool waiting = roles.Port->WaitingForDevice();
    roles.Off->setVisible(open || waiting);
    SetFontColor(roles.Title, open ? ColorGreen : ColorBlack);
    roles.Chip->setText(open ? QString("COM%1").arg(roles.Port->ComNumber()) : QString());
    if (open) SetFontColor(roles.Chip, roles.Colour->Value());
    QString summary;
    if (open)
        summary = QString::fromStdString(roles.Port->SettingsText());
    else if (waiting)
        summary = QString("COM%1: waiting for device").arg(roles.Port->ComNumber());
    SetSummary(roles.Summary, summary);
}

void TForm1::PaintLineLamp(QFrame* lamp, TAfComPort* port, int line) {
    SetBackgroundColor(lamp, port->ModemLineSet(line) ? ColorGreen : ButtonFaceColor());
}

void TForm1::RingDetected(QFrame* lamp) {
    SetBackgroundColor(lamp, ColorGreen);
    // QTimer::start would restart a running timer: the hold counts from the
    // first ring of a burst.
    if (!Timer4->isActive()) Timer4->start();
}

void TForm1::Comport1CTSChanged() { PaintLineLamp(Led1, Comport1, 1); }
void TForm1::Comport1DSRChanged() { PaintLineLamp(Led2, Comport1, 2); }
void TForm1::Comport1RINGDetected() { RingDetected(Led3); }
void TForm1::Comport1RLSDChanged() { PaintLineLamp(Led4, Comport1, 4); }
void TForm1::ComPort2CTSChanged() { PaintLineLamp(led5, ComPort2, 1); }
void TForm1::ComPort2DSRChanged() { PaintLineLamp(led6, ComPort2, 2); }
void TForm1::ComPort2RINGDetected() { RingDetected(led7); }
void TForm1::ComPort2RLSDChanged() { PaintLineLamp(led8, ComPort2, 4); }

void TForm1::Timer4Timer() {
    SetBackgroundColor(Led3, ButtonFaceColor());
    SetBackgroundColor(led7, ButtonFaceColor());
    Timer4->stop();
}

void TForm1::ledCTSClick() {
    SetFaceColor(ledCTS, FaceColor(ledCTS) == ButtonFaceColor() ? ColorGreen : ButtonFaceColor());
    Comport1->SetRTS(FaceColor(ledCTS) == ColorGreen);
    PaintLineLamp(Led1, Comport1, 1);
    Edit4->setFocus();
}

void TForm1::LEDDTRClick() {
    SetFaceColor(LEDDTR, FaceColor(LEDDTR) == ButtonFaceColor() ? ColorGreen : ButtonFaceColor());
    Comport1->SetDTR(FaceColor(LEDDTR) != ButtonFaceColor());
    Edit4->setFocus();
}

void TForm1::Comport1PortOpen() {
    SetFaceColor(ledCTS, ButtonFaceColor());
    Comport1->SetRTS(false);
    PaintLineLamp(Led1, Comport1, 1);
    // The command line's script plays once port 1 is open, after the open.
    if (!PendingScript.isEmpty()) QTimer::singleShot(0, this, [this] { AfGuard([this] { PlayPendingScript(); }); });
}
