// The main window: creation, settings, activation, close, menu and the
// keyboard focus rules. The layout is in Unit1Layout.cpp, the port panels and
// lamps in Unit1Ports.cpp.
#include "monitor/Unit1.h"

#include "about/Unit3.h"
#include "editor/Unit2.h"
#include "editor/editor1.h"
#include "monitor/MonitorSettings.h"
#include "monitor/SessionLog.h"
#include "platform/Profile.h"
#include "serial/AfDeviceWatch.h"
#include "ui/AfApplicationError.h"
#include "widgets/ColorComboBox.h"
#include "widgets/CountField.h"
#include "widgets/CursorBlinkRest.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>

#include <initializer_list>

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Form1");
    setWindowTitle(" Kalvaro");
    setFont(QFont("MS Sans Serif", 8));
    setFixedSize(708, 560);

    CreateComponents();
    CreateMenu();
    auto* client = new QWidget(this);
    client->setObjectName("Client");
    setCentralWidget(client);
    CreatePortPanels(client);
    CreateViewRegions(client);
    CreateInputRow(client);
    CreateDialogs();
    CreateSessionActions();
    CreateFind();
    CreatePlayback();
    WireHandlers();
    WatchDevices();
    WatchReceiving();
    WatchInputBox();
    new TCursorBlinkRest(this);
    // The keyboard focus rules (eventFilter).
    for (QObject* watched : std::initializer_list<QObject*>{RichEdit1, RichEdit2, Edit2, Edit7, Edit3})
        watched->installEventFilter(this);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));

    RichEdit1->Clear();
    RichEdit2->Clear();
    ReadSettings();
    Edit4->setFocus();

    // Qt reports the new focus window after the window's activation, so at
    // WindowActivate FocusWindow still names the window the user came from.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) { FocusWindow = window; });
    Timer1->start();
    Timer2->start();
    Timer3->start();
}

TForm1::~TForm1() {
    Log.reset();
    // Closing an open port waits for its threads and serves the GUI thread's
    // pending deliveries meanwhile, which may run this window's handlers: the
    // components go while the window is whole. Qt then hides and unfocuses the
    // controls as it tears them down; none of that may reach a handler.
    // The watch goes first: its thread stops before anything it tells of.
    delete DeviceWatch;
    delete Comport1;
    delete ComPort2;
    for (QObject* child : findChildren<QObject*>()) disconnect(child, nullptr, this, nullptr);
    disconnect(qApp, nullptr, this, nullptr);
}

void TForm1::SetCompanions(TForm3* about, TEditor* editor, TForm2* userButton) {
    About = about;
    Editor = editor;
    UserButton = userButton;
}

int TForm1::ShowModal(QDialog& dialog) { return ModalRunner ? ModalRunner(dialog) : dialog.exec(); }

void TForm1::ReadSettings() {
    // A crash during an earlier close can have left a hidden temporary copy
    // of the file, as big as the file itself; nothing else would remove it.
    afp::RemoveStaleProfileTemporaries(SettingsFileName);
    const TMonitorSettings settings = ReadMonitorSettings(SettingsFileName);
    ColorComboBox1->SetValue(settings.Port1Color);
    ColorComboBox2->SetValue(settings.Port2Color);
    ColorComboBox3->SetValue(settings.SentColor);
    Edit5->setText(QString::fromStdString(settings.Sep1));
    Edit6->setText(QString::fromStdString(settings.Sep2));
    EditPath = QString::fromStdString(settings.EditPath);
    EditFile = QString::fromStdString(settings.EditFile);
    LoadPath = QString::fromStdString(settings.LoadPath);
    LoadFile = QString::fromStdString(settings.LoadFile);
    Session = settings.Session;
    ApplySession();
}

bool TForm1::FormCloseQuery() {
    TMonitorSettings settings;
    settings.Port1Color = ColorComboBox1->Value();
    settings.Port2Color = ColorComboBox2->Value();
    settings.SentColor = ColorComboBox3->Value();
    settings.Sep1 = Edit5->text().toStdString();
    settings.Sep2 = Edit6->text().toStdString();
    settings.EditPath = EditPath.toStdString();
    settings.EditFile = EditFile.toStdString();
    settings.LoadPath = LoadPath.toStdString();
    settings.LoadFile = LoadFile.toStdString();
    if (UserButton) {
        settings.UserCaption = UserButton->UserCaption().toStdString();
        settings.UserHint = UserButton->UserHint().toStdString();
        settings.UserOut = UserButton->UserOut().toStdString();
    }
    settings.Session = Session;
    return AfGuard([&] { WriteMonitorSettings(settings, SettingsFileName); });
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    // A script playing ends with the window; the program can only end once
    // the player has returned.
    StopScript();
    StopLog();
    emit Closed();
}

void TForm1::FormActivate() {
    SentCount = 0;
    Port1Count = 0;
    Port2Count = 0;
    RcharClick();
}

bool TForm1::IsCompanion(const QWindow* window) const {
    if (!window) return false;
    for (const QWidget* companion :
         {static_cast<const QWidget*>(About.data()), static_cast<const QWidget*>(Editor.data()),
          static_cast<const QWidget*>(UserButton.data())})
        if (companion && companion->windowHandle() == window) return true;
    return false;
}

bool TForm1::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) {
        // Message boxes and file dialogs are not windows the user comes back
        // from, and neither is another program: only the first activation and
        // returns from the About box, the editor and the user-button dialog
        // count.
        if (!EverActivated || IsCompanion(FocusWindow)) {
            EverActivated = true;
            AfGuarded(this, &TForm1::FormActivate)();
        }
    }
    return QMainWindow::event(event);
}

void TForm1::Exit1Click() { close(); }

void TForm1::Editor1Click() {
    if (!Editor) return;
    Editor->show();
    Editor->raise();
    Editor->activateWindow();
}

void TForm1::About1Click() {
    if (About) ShowModal(*About);
}

void TForm1::Image3Click() { About1Click(); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
            // The upper view takes no typed character: it sends the keyboard
            // home to the input box (a copy shortcut still copies first).
            // Keys without text (arrows, page keys) still scroll it.
            if (watched == RichEdit1) {
                const auto* key = static_cast<QKeyEvent*>(event);
                if (key->text().isEmpty()) break;
                if (key->matches(QKeySequence::Copy)) RichEdit1->CopySelection();
                Edit4->setFocus();
                return true;
            }
            break;
        case QEvent::MouseButtonPress:
            // Ctrl+F finds in the view the user last clicked.
            if (watched == RichEdit1->viewport()) FindView = RichEdit1;
            if (watched == RichEdit2->viewport()) FindView = RichEdit2;
            break;
        case QEvent::FocusIn:
            if (watched == RichEdit2 || watched == Edit2 || watched == Edit7 || watched == Edit3) Edit4->setFocus();
            break;
        default: break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::SetBackgroundColor(QWidget* widget, TColor color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, ColorToQColor(color));
    palette.setColor(QPalette::Base, ColorToQColor(color));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

TColor TForm1::BackgroundColor(const QWidget* widget) {
    return QColorToColor(widget->palette().color(widget->backgroundRole()));
}

void TForm1::SetFaceColor(QPushButton* button, TColor color) {
    QPalette palette = button->palette();
    palette.setColor(QPalette::Button, ColorToQColor(color));
    button->setPalette(palette);
}

TColor TForm1::FaceColor(const QPushButton* button) { return QColorToColor(button->palette().color(QPalette::Button)); }

void TForm1::SetFontColor(QWidget* widget, TColor color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, ColorToQColor(color));
    widget->setPalette(palette);
}

TColor TForm1::FontColor(const QWidget* widget) { return QColorToColor(widget->palette().color(QPalette::WindowText)); }
