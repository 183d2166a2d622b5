// The main window's two views: polling the ports into the upper view, the
// lower view's echo of sent bytes, the display-mode and "Aply" controls, the
// counts, clearing, and saving the upper view as a capture file.
//
// Reception is polled: Timer2 and Timer3 take everything a port's driver
// holds at each 1 ms tick and append it to the upper view in one batch, with
// the count field rewritten once per batch; the text, colours and counts are
// those of handling the bytes one at a time (see ReceiveRules.h). A polling
// timer goes to sleep while its port is closed or has been quiet for a few
// ticks, so an idle monitor does not wake a thousand times a second; the
// port's own receive events (its receive watcher, called on the port's event
// thread when bytes arrive and every 200 ms while bytes wait) and the
// once-a-second status refresh wake it again within a tick.
#include "monitor/Unit1.h"

#include "serial/AfErrors.h"
#include "text/CodePages.h"
#include "widgets/ColorComboBox.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QTimer>


namespace {

// Empty ticks after which a polling timer sleeps until its port wakes it.
constexpr int QuietTicksBeforeSleep = 20;
// The most one tick takes from a port: under a flood, a tick that rendered
// megabytes at once would hold up everything else the window does; what is
// left waits for the next tick, a millisecond later.
constexpr std::int32_t MaxBytesPerTick = 256 * 1024;

// The mode a view's radio buttons select: start from Decimal, then each
// checked button in turn, the later test winning.
TDisplayMode ModeOf(const QRadioButton* ascii, const QRadioButton* hex, const QRadioButton* decimal) {
    TDisplayMode mode = dmDecimal;
    if (ascii->isChecked()) mode = dmAscii;
    if (hex->isChecked()) mode = dmHex;
    if (decimal->isChecked()) mode = dmDecimal;
    return mode;
}

// A separator's text as the bytes its view shows: characters of the view's
// code page; one the page cannot show becomes '?'.
std::string SeparatorBytes(const QLineEdit* edit, TCodePage codePage) {
    std::string bytes;
    for (const QChar ch : edit->text())
        bytes.push_back(static_cast<char>(UnicodeToCodePage(codePage, ch.unicode()).value_or('?')));
    return bytes;
}

}  // namespace

void TForm1::CreateDialogs() {
    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName("SaveDialog1");
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setNameFilter("Com Port Input (*.cpi)");
    SaveDialog1->setDefaultSuffix("cpi");
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);

    CountsTimer = new QTimer(this);
    CountsTimer->setSingleShot(true);
    CountsTimer->setInterval(TMonitorView::RepaintIntervalMs);
    connect(CountsTimer, &QTimer::timeout, this, [this] { ShowCounts(); });
}

void TForm1::ShowCountSoon(QLineEdit* field) {
    CountStale[field == Edit2 ? 0 : field == Edit7 ? 1 : 2] = true;
    if (!CountsTimer->isActive()) CountsTimer->start();
}

void TForm1::ShowCounts() {
    // Only the fields whose counter moved: an activation zeroes the counters
    // but leaves the fields showing the old numbers until the next byte.
    const std::pair<QLineEdit*, std::int32_t> fields[] = {{Edit2, Port1Count}, {Edit7, Port2Count}, {Edit3, SentCount}};
    for (int i = 0; i < 3; ++i) {
        if (!CountStale[i]) continue;
        CountStale[i] = false;
        fields[i].first->setText(QString::number(fields[i].second));
    }
}

void TForm1::WatchReceiving() {
    // Bytes arriving, or left waiting, wake a sleeping polling timer. The
    // watcher runs on the port's event thread: it only posts the wake-up.
    for (const int port : {1, 2}) {
        (port == 1 ? Comport1 : ComPort2)->SetReceiveWatcher([this, port] {
            if (PollingAsleep[port - 1].exchange(false))
                QMetaObject::invokeMethod(this, [this, port] { WakePolling(port); }, Qt::QueuedConnection);
        });
    }
    // After Timer1Timer, which has refreshed the ports' states.
    connect(Timer1, &QTimer::timeout, this, [this] {
        if (Comport1->IsOpen()) WakePolling(1);
        if (ComPort2->IsOpen()) WakePolling(2);
    });
}

TDisplayMode TForm1::UpperDisplayMode() const { return ModeOf(RadioButton1, RadioButton2, RadioButton3); }

TDisplayMode TForm1::LowerDisplayMode() const { return ModeOf(RadioButton4, RadioButton5, RadioButton6); }

void TForm1::ScrollToNewest(TMonitorView* view) {
    view->ScrollLines(view->LineCount() - view->FirstVisibleLine() - 6);
}

void TForm1::WakePolling(int port) {
    QTimer* timer = port == 1 ? Timer2 : Timer3;
    PollingAsleep[port - 1] = false;
    QuietTicks[port - 1] = 0;
    if (!timer->isActive()) timer->start();
}

void TForm1::SleepPolling(int port) {
    TAfComPort* component = port == 1 ? Comport1 : ComPort2;
    (port == 1 ? Timer2 : Timer3)->stop();
    PollingAsleep[port - 1] = true;
    // Bytes that came after the last poll but before the flag was set have
    // had their event already: look once more.
    if (component->IsOpen() && component->InCount() > 0) WakePolling(port);
}

bool TForm1::PollPort(int port) {
    TAfComPort* component = port == 1 ? Comport1 : ComPort2;
    QTimer* timer = port == 1 ? Timer2 : Timer3;
    if (!component->IsOpen()) {
        timer->stop();
        PollingAsleep[port - 1] = true;
        return false;
    }
    const std::string separator = SeparatorBytes(Edit5, TCodePage::Cp1250);
    const TViewRules rules{UpperDisplayMode(), CheckBox4->isChecked(), CheckBox4->isEnabled(), separator};
    const std::string bytes = component->ReadAvailable(MaxBytesPerTick);
    if (bytes.empty()) {
        if (++QuietTicks[port - 1] >= QuietTicksBeforeSleep) SleepPolling(port);
        return false;
    }
    QuietTicks[port - 1] = 0;
    // What the view would drop at once is never made: a long separator
    // would otherwise turn one tick's bytes into hundreds of megabytes.
    const std::size_t limit = RichEdit1->MaxBytes();
    const TBatchText batch = port == 1 ? RenderPort1(bytes, rules, limit) : RenderPort2(bytes, rules, limit);
    if (!batch.Text.empty()) {
        const TColor color = (port == 1 ? ColorComboBox1 : ColorComboBox2)->Value();
        RichEdit1->Append(batch.Text, ColorToQRgb(color));
        ScrollToNewest(RichEdit1);
    }
    if (port == 1) {
        Port1Count += batch.Counted;
        ShowCountSoon(Edit2);
    } else {
        Port2Count += batch.Counted;
        ShowCountSoon(Edit7);
    }
    return true;
}

void TForm1::Timer2Timer() { PollPort(1); }

void TForm1::Timer3Timer() { PollPort(2); }

void TForm1::Zobraz2(TDisplayMode mode, TColor color, std::uint8_t byte, const std::string& separator) {
    ++SentCount;
    ShowCountSoon(Edit3);
    const std::string text =
        RenderSent(byte, TViewRules{mode, CheckBox1->isChecked(), CheckBox1->isEnabled(), separator});
    if (text.empty()) return;
    RichEdit2->Append(text, ColorToQRgb(color));
    ScrollToNewest(RichEdit2);
}

void TForm1::EchoSent(std::uint8_t byte) { Zobraz2(LowerDisplayMode(), ColorComboBox3->Value(), byte, SeparatorBytes(Edit6, TCodePage::Cp1252)); }

void TForm1::SetAplyEnabled(QCheckBox* box, bool enabled) {
    // Disabling keeps the check mark; the box is in force only while enabled.
    box->setEnabled(enabled);
    Edit4->setFocus();
}

void TForm1::RadioButton1Click() { SetAplyEnabled(CheckBox4, false); }
void TForm1::RadioButton2Click() { SetAplyEnabled(CheckBox4, true); }
void TForm1::RadioButton3Click() { SetAplyEnabled(CheckBox4, true); }
void TForm1::RadioButton4Click() { SetAplyEnabled(CheckBox1, false); }
void TForm1::RadioButton5Click() { SetAplyEnabled(CheckBox1, true); }
void TForm1::RadioButton6Click() { SetAplyEnabled(CheckBox1, true); }
void TForm1::CheckBox4Click() { Edit4->setFocus(); }
void TForm1::CheckBox1Click() { Edit4->setFocus(); }

void TForm1::Button1Click() {
    RichEdit1->Clear();
    Port1Count = 0;
    Edit2->setText("0");
    Port2Count = 0;
    Edit7->setText("0");
    CountStale[0] = CountStale[1] = false;
    Edit4->setFocus();
}

void TForm1::Label18Click() { Button1Click(); }

void TForm1::Button4Click() {
    RichEdit2->Clear();
    Edit4->clear();
    SentCount = 0;
    Edit3->setText("0");
    CountStale[2] = false;
    Edit4->setFocus();
}

void TForm1::Button2Click() {
    // The capture is the text the view holds when "Save" is pressed; bytes
    // that arrive while the dialog is open are not in it.
    const std::string capture = RichEdit1->PlainText();
    SaveDialog1->setWindowTitle("Save data as..");
    SaveDialog1->setDirectory(EditPath);
    if (ShowModal(*SaveDialog1) != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty()) return;
    QString chosen = SaveDialog1->selectedFiles().first();
    if (QFileInfo(chosen).suffix().isEmpty()) chosen += ".cpi";
    // An existing capture is replaced only by a complete new one: the text
    // goes to a temporary file beside it, renamed over it at the end. A full
    // disk then leaves the old file as it was and no temporary file.
    QSaveFile file(chosen);
    const auto size = static_cast<qint64>(capture.size());
    if (!file.open(QIODevice::WriteOnly) || file.write(capture.data(), size) != size || !file.commit())
        throw EAfSerialError(AfFormat("Cannot create file %s", chosen.toLocal8Bit().constData()));
}
