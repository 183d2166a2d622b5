// The main window's options beyond the classic window: time stamps in the
// views and the log of everything, their context-menu entries, shortcuts and
// dialogs, and the log's start, stop and failure.
#include "monitor/Unit1.h"

#include "monitor/SessionLog.h"
#include "ui/AfApplicationError.h"
#include "widgets/MonitorView.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <stdexcept>

namespace {

QAction* NewAction(QWidget* window, const char* name, const QString& text, const QKeySequence& shortcut,
                   bool checkable) {
    auto* action = new QAction(text, window);
    action->setObjectName(name);
    action->setShortcut(shortcut);
    action->setCheckable(checkable);
    // In the window, so that the shortcut works wherever the focus is.
    window->addAction(action);
    return action;
}

QString GapText(std::int32_t gapMs) { return QStringLiteral("Stamp gap: %1 ms...").arg(gapMs); }

}  // namespace

void TForm1::CreateSessionActions() {
    Stamps1 = NewAction(this, "Stamps1", "Time stamps", QKeySequence(Qt::CTRL | Qt::Key_T), true);
    SentStamps1 = NewAction(this, "SentStamps1", "Time stamps on sent bytes",
                            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T), true);
    StampGap1 = NewAction(this, "StampGap1", GapText(Session.StampGapMs), QKeySequence(Qt::CTRL | Qt::Key_G), false);
    LogToFile1 = NewAction(this, "LogToFile1", "Log to file...", QKeySequence(Qt::CTRL | Qt::Key_L), false);
    LogRaw1 = NewAction(this, "LogRaw1", "Log raw bytes too", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L), true);

    LogDialog1 = new QFileDialog(this);
    LogDialog1->setObjectName("LogDialog1");
    LogDialog1->setWindowTitle("Log to file");
    LogDialog1->setAcceptMode(QFileDialog::AcceptSave);
    LogDialog1->setNameFilters({"Log files (*.log)", "All files (*)"});
    LogDialog1->setDefaultSuffix("log");
    LogDialog1->setOption(QFileDialog::DontUseNativeDialog);

    StampGapDialog1 = new QInputDialog(this);
    StampGapDialog1->setObjectName("StampGapDialog1");
    StampGapDialog1->setWindowTitle("Time stamps");
    StampGapDialog1->setLabelText(QStringLiteral("A quiet gap longer than this starts a stamped line (%1 to %2 ms):")
                                      .arg(MinStampGapMs)
                                      .arg(MaxStampGapMs));
    StampGapDialog1->setInputMode(QInputDialog::IntInput);
    StampGapDialog1->setIntRange(MinStampGapMs, MaxStampGapMs);

    for (TMonitorView* view : {RichEdit1, RichEdit2})
        view->SetMenuExtender([this, view](QMenu& menu) { FillViewMenu(view, menu); });
}

void TForm1::FillViewMenu(TMonitorView* view, QMenu& menu) {
    QAction* find = menu.addAction("Find...\tCtrl+F", [this, view] { AfGuard([&] { OpenFind(view); }); });
    find->setObjectName("find");
    menu.addSeparator();
    menu.addAction(view == RichEdit1 ? Stamps1 : SentStamps1);
    menu.addAction(StampGap1);
    menu.addSeparator();
    menu.addAction(LogToFile1);
    menu.addAction(LogRaw1);
}

void TForm1::ApplySession() {
    Stamps1->setChecked(Session.Stamps);
    SentStamps1->setChecked(Session.SentStamps);
    LogRaw1->setChecked(Session.LogRaw);
    StampGap1->setText(GapText(Session.StampGapMs));
    UpperStamper.SetGap(Session.StampGapMs);
    LowerStamper.SetGap(Session.StampGapMs);
}

void TForm1::Stamps1Click() {
    Session.Stamps = Stamps1->isChecked();
    UpperStamper.Reset();
}

void TForm1::SentStamps1Click() {
    Session.SentStamps = SentStamps1->isChecked();
    LowerStamper.Reset();
}

void TForm1::StampGap1Click() {
    StampGapDialog1->setIntValue(Session.StampGapMs);
    if (ShowModal(*StampGapDialog1) != QDialog::Accepted) return;
    Session.StampGapMs = std::clamp(StampGapDialog1->intValue(), MinStampGapMs, MaxStampGapMs);
    ApplySession();
}

void TForm1::LogRaw1Click() { Session.LogRaw = LogRaw1->isChecked(); }

void TForm1::LogToFile1Click() {
    if (Log) {
        StopLog();
        return;
    }
    LogDialog1->setDirectory(QString::fromStdString(Session.LogPath));
    if (ShowModal(*LogDialog1) != QDialog::Accepted || LogDialog1->selectedFiles().isEmpty()) return;
    StartLog(LogDialog1->selectedFiles().first());
}

void TForm1::StartLog(const QString& path) {
    const std::uint64_t generation = ++LogGeneration;
    // The worker's failure comes to this window's thread; a failure of a log
    // that has been stopped meanwhile is of no interest any more.
    Log = std::make_unique<TSessionLog>(path, Session.LogRaw, [this, generation](const std::string& message) {
        QMetaObject::invokeMethod(
            this, [this, generation, message] { AfGuard([&] { LogFailed(generation, message); }); },
            Qt::QueuedConnection);
    });
    Session.LogPath = QFileInfo(path).absolutePath().toStdString();
    LogReadBefore[0] = LogReadBefore[1] = 0;
    for (const int port : {1, 2})
        if ((port == 1 ? Comport1 : ComPort2)->IsOpen()) WakePolling(port);
    ShowLogState();
}

void TForm1::StopLog() {
    if (!Log) return;
    // What waits in the ports belongs to the log too.
    TakeReceived();
    Log.reset();
    ShowLogState();
}

void TForm1::LogFailed(std::uint64_t generation, const std::string& message) {
    if (!Log || generation != LogGeneration) return;
    Log.reset();
    ShowLogState();
    throw std::runtime_error(message);
}

void TForm1::ShowLogState() {
    LogToFile1->setText(Log ? "Stop log" : "Log to file...");
    ShowTitle();
}

void TForm1::MarkLogComplete() {
    if (!Log) return;
    // A closed port has nothing waiting: whatever it gets later comes later.
    const afp::TArrivalTime now = afp::ArrivalNow();
    afp::TArrivalTime mark = now;
    for (const int port : {1, 2})
        if ((port == 1 ? Comport1 : ComPort2)->IsOpen()) mark = std::min(mark, LogReadBefore[port - 1]);
    Log->CompleteBefore(mark);
}
