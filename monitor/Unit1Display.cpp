// The main window's two views: polling the ports into the upper view, the
// lower view's echo of sent bytes, the display-mode and "Aply" controls, the
// counts, clearing, and saving the upper view as a capture file.
//
// Reception is taken, not pushed: a take reads everything both ports'
// drivers hold, with the bytes' arrival times, and appends it to the upper
// view in arrival order (ArrivalOrder.h), so that a request on one port and
// its reply on the other read in the order they crossed the line; the text,
// colours and counts are those of handling the bytes one at a time (see
// ReceiveRules.h). The count fields follow in the same frame.
//
// The rhythm: while both ports are quiet nothing runs. A port's receive
// watcher (called on its event thread when bytes arrive, and every 200 ms
// while bytes wait) posts one wake-up; the take follows a millisecond later
// if the last one is a frame old, else when that frame is over. A take is
// followed by another a frame later until two in a row find no bytes, and
// then the takes sleep again; so a trickling line costs the GUI thread one
// take a frame, not one per piece, and its newest bytes are on screen within
// a frame. A port that gives 16 kB or more in one take floods: its timer
// (Timer2, Timer3) takes every millisecond while that lasts (Timer2 alone
// when both flood). The once-a-second status refresh also wakes the take of
// a port whose bytes wait. Time stamps and the log (Unit1Session.cpp) use the
// same reads' arrival times.
#include "monitor/Unit1.h"

#include "monitor/ArrivalOrder.h"
#include "monitor/SessionLog.h"
#include "serial/AfErrors.h"
#include "text/CodePages.h"
#include "widgets/ColorComboBox.h"
#include "widgets/CountField.h"
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

#include <algorithm>

namespace {

// The most one take reads from a port: under a flood, a take that rendered
// megabytes at once would hold up everything else the window does; what is
// left waits for the next take, a millisecond later.
constexpr std::int32_t MaxBytesPerTick = 256 * 1024;
// A line that trickles is taken at most once per frame: the screen changes
// no more often, and every take costs a wake-up of the GUI thread.
constexpr qint64 TakeFrameMs = TMonitorView::RepaintIntervalMs;
constexpr qint64 TakeSlackMs = TMonitorView::RepaintSlackMs;
// A port that received within this long may hand over with the other.
constexpr qint64 OtherPortActiveMs = 1000;
// A take this large means the port floods: taking only once a frame would
// cap what it shows, so its timer takes every millisecond while it lasts.
constexpr std::size_t FloodTakeBytes = std::size_t{16} * 1024;

// The mode a view's radio buttons select: start from Decimal, then each
// checked button in turn, the later test winning.
TDisplayMode ModeOf(const QRadioButton* ascii, const QRadioButton* hex, const QRadioButton* decimal) {
    TDisplayMode mode = dmDecimal;
    if (ascii->isChecked()) mode = dmAscii;
    if (hex->isChecked()) mode = dmHex;
    if (decimal->isChecked()) mode = dmDecimal;
    return mode;
}

// A stamp's colour: its port's, drawn darker so the bytes stand out.
QRgb StampColour(TColor color) {
    const QRgb rgb = ColorToQRgb(color);
    return qRgb(qRed(rgb) * 3 / 5, qGreen(rgb) * 3 / 5, qBlue(rgb) * 3 / 5);
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
    ShowCountsWithinFrame();
}

void TForm1::ShowCountsWithinFrame() {
    if (CountsTimer->isActive()) return;
    // A take once a frame finds the last write a frame old give or take the
    // timer's millisecond: it shows its counts itself, with no timer.
    constexpr qint64 Slack = 2;
    const qint64 since = CountsShown.isValid() ? CountsShown.elapsed() : TMonitorView::RepaintIntervalMs;
    if (since + Slack >= TMonitorView::RepaintIntervalMs)
        ShowCounts();
    else
        CountsTimer->start(static_cast<int>(TMonitorView::RepaintIntervalMs - since));
}

void TForm1::ShowCounts() {
    // Only the fields whose counter moved: an activation zeroes the counters
    // but leaves the fields showing the old numbers until the next byte.
    const std::pair<TCountField*, std::int32_t> fields[] = {
        {Edit2, Port1Count}, {Edit7, Port2Count}, {Edit3, SentCount}};
    for (int i = 0; i < 3; ++i) {
        if (!CountStale[i]) continue;
        CountStale[i] = false;
        fields[i].first->ShowNumber(fields[i].second);
        CountsShown.start();
    }
}

void TForm1::WatchReceiving() {
    // Bytes arriving, or left waiting, wake the sleeping take. The watcher
    // runs on the port's event thread: it only posts the wake-up, once per
    // sleep however many pieces arrive.
    for (const int port : {1, 2}) {
        (port == 1 ? Comport1 : ComPort2)->SetReceiveWatcher([this, port] {
            if (PollingAsleep[port - 1].exchange(false))
                QMetaObject::invokeMethod(
                    this, [this, port] { WakePolling(port); }, Qt::QueuedConnection);
        });
    }
    ReceiveFrame = new QTimer(this);
    ReceiveFrame->setSingleShot(true);
    ReceiveFrame->setTimerType(Qt::PreciseTimer);
    connect(ReceiveFrame, &QTimer::timeout, this, &TForm1::TakeFrame);
    LastTake.start();
    // After Timer1Timer, which has refreshed the ports' states.
    connect(Timer1, &QTimer::timeout, this, [this] {
        // A quiet port costs nothing here; bytes left waiting are taken.
        if (Comport1->IsOpen() && Comport1->InCount() > 0) WakePolling(1);
        if (ComPort2->IsOpen() && ComPort2->InCount() > 0) WakePolling(2);
        // With both ports closed no take marks the log's progress.
        MarkLogComplete();
    });
}

TDisplayMode TForm1::UpperDisplayMode() const { return ModeOf(RadioButton1, RadioButton2, RadioButton3); }

TDisplayMode TForm1::LowerDisplayMode() const { return ModeOf(RadioButton4, RadioButton5, RadioButton6); }

void TForm1::ScrollToNewest(TMonitorView* view) {
    // A view held at a match stays there until the user returns to the end.
    if (view->Held()) return;
    view->ScrollLines(view->LineCount() - view->FirstVisibleLine() - 6);
}

void TForm1::WakePolling(int port) {
    PollingAsleep[port - 1] = false;
    // A take that is already due serves the port too.
    if (Timer2->isActive() || Timer3->isActive() || ReceiveFrame->isActive()) return;
    // A take a frame after the last one, give or take the timers' slack,
    // runs at once: a port hands over what it gathered about once a frame,
    // and a take that waited for the rest of a frame each time would fall
    // behind it. While the other port receives too, it runs a millisecond
    // later, so that what both ports handed over at about the same moment
    // comes in one take.
    const QElapsedTimer& other = BytesTaken[2 - port];
    const qint64 together = other.isValid() && other.elapsed() < OtherPortActiveMs ? 1 : 0;
    const qint64 sinceLast = LastTake.elapsed();
    const qint64 wait = std::max<qint64>(together, TakeFrameMs - TakeSlackMs - sinceLast);
    if (wait == 0)
        TakeFrame();
    else
        ReceiveFrame->start(static_cast<int>(wait));
}

void TForm1::TakeFrame() {
    TakeReceived();
    // This take is a frame after the last one: its counts go with it. A
    // count written on a timer of its own could settle just before each
    // take and hold every count back by a frame.
    CountsTimer->stop();
    ShowCounts();
    // Drawn in this turn of the event loop, not the next.
    RichEdit1->RepaintIfDue();
}

void TForm1::TakeReceived() {
    TTakenBytes taken[2];
    const afp::TArrivalTime asked = afp::ArrivalNow();
    LastTake.restart();
    for (const int port : {1, 2}) {
        TAfComPort* component = port == 1 ? Comport1 : ComPort2;
        TTakenBytes& take = taken[port - 1];
        take.Open = component->IsOpen();
        if (!take.Open) continue;
        take.Bytes = component->ReadAvailable(MaxBytesPerTick, take.Chunks);
        if (!take.Bytes.empty()) BytesTaken[port - 1].restart();
        if (Log) {
            const auto source = port == 1 ? TLogSource::Port1 : TLogSource::Port2;
            if (!take.Bytes.empty()) Log->Add(source, component->ComNumber(), take.Bytes, take.Chunks);
            // A read that took everything has every byte that came before it
            // was asked; one cut short at the limit, those before its last run.
            if (take.Bytes.size() < static_cast<std::size_t>(MaxBytesPerTick))
                LogReadBefore[port - 1] = asked;
            else if (!take.Chunks.empty())
                LogReadBefore[port - 1] = take.Chunks.back().Time;
        }
    }
    MarkLogComplete();
    ShowTaken(taken);
    RhythmAfterTake(taken);
}

void TForm1::RhythmAfterTake(const TTakenBytes (&taken)[2]) {
    // A port that floods has its timer take again a millisecond later, as
    // long as that lasts; each take serves both ports, so with both
    // flooding port 1's timer does it alone.
    const bool flooding1 = taken[0].Bytes.size() >= FloodTakeBytes;
    const bool flooding2 = !flooding1 && taken[1].Bytes.size() >= FloodTakeBytes;
    for (const auto& [timer, flooding] : {std::pair{Timer2, flooding1}, std::pair{Timer3, flooding2}}) {
        if (!flooding)
            timer->stop();
        else if (!timer->isActive())
            timer->start();
    }
    if (flooding1 || flooding2) return;
    // While a log runs, which needs both ports read once a frame (see
    // MarkLogComplete), the next take is a frame later. Otherwise the takes
    // sleep until a port's watcher wakes them: a port hands over what came
    // about once a frame (its device gathers, or its event thread pauses
    // after each arrival), and a take follows each hand-over (WakePolling),
    // so a trickling line costs one take a frame.
    if (Log) {
        ReceiveFrame->start(TakeFrameMs);
        return;
    }
    // Asleep until a port's watcher or the status refresh wakes the take.
    // Bytes that came after the read but before the flag was set have had
    // their event already: look once more.
    for (const int port : {1, 2}) {
        PollingAsleep[port - 1] = true;
        TAfComPort* component = port == 1 ? Comport1 : ComPort2;
        if (taken[port - 1].Open && component->InCount() > 0) WakePolling(port);
    }
}

void TForm1::ShowTaken(const TTakenBytes (&taken)[2]) {
    if (taken[0].Bytes.empty() && taken[1].Bytes.empty()) return;
    const std::string separator = SeparatorBytes(Edit5, TCodePage::Cp1250);
    const TViewRules rules{UpperDisplayMode(), CheckBox4->isChecked(), CheckBox4->isEnabled(), separator};
    const std::vector<TTakenRun> runs =
        InArrivalOrder(taken[0].Bytes.size(), taken[0].Chunks, taken[1].Bytes.size(), taken[1].Chunks);
    std::int32_t counted[2] = {0, 0};
    if (Session.Stamps) {
        for (const TTakenRun& run : runs) {
            const TTakenBytes& take = taken[run.Port - 1];
            const auto first = take.Chunks.begin() + static_cast<std::ptrdiff_t>(run.FirstChunk);
            const afp::TArrivalChunks chunks(first, first + static_cast<std::ptrdiff_t>(run.ChunkCount));
            counted[run.Port - 1] +=
                ShowStamped(run.Port, std::string_view(take.Bytes).substr(run.From, run.Count), chunks, rules);
        }
    } else {
        // Newest first, so that what the view would drop at once is never
        // made: a long separator would otherwise turn one take's bytes into
        // hundreds of megabytes.
        std::vector<std::string> texts(runs.size());
        std::size_t room = RichEdit1->MaxBytes();
        for (std::size_t i = runs.size(); i-- > 0;) {
            const TTakenRun& run = runs[i];
            const std::string_view part = std::string_view(taken[run.Port - 1].Bytes).substr(run.From, run.Count);
            TBatchText batch = run.Port == 1 ? RenderPort1(part, rules, room) : RenderPort2(part, rules, room);
            counted[run.Port - 1] += batch.Counted;
            room -= std::min(room, batch.Text.size());
            texts[i] = std::move(batch.Text);
        }
        bool appended = false;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (texts[i].empty()) continue;
            const TColor color = (runs[i].Port == 1 ? ColorComboBox1 : ColorComboBox2)->Value();
            RichEdit1->Append(texts[i], ColorToQRgb(color));
            appended = true;
        }
        if (appended) ScrollToNewest(RichEdit1);
    }
    // Both counts of a take go to the screen together.
    Port1Count += counted[0];
    Port2Count += counted[1];
    CountStale[0] = CountStale[0] || !taken[0].Bytes.empty();
    CountStale[1] = CountStale[1] || !taken[1].Bytes.empty();
    ShowCountsWithinFrame();
}

std::int32_t TForm1::ShowStamped(int port, std::string_view bytes, const afp::TArrivalChunks& chunks,
                                 const TViewRules& rules) {
    const TColor color = (port == 1 ? ColorComboBox1 : ColorComboBox2)->Value();
    const TStampedBatch batch = RenderStamped(port, bytes, chunks, rules, UpperStamper, StampClock,
                                              RichEdit1->AtLineStart(), RichEdit1->MaxBytes());
    for (const TStampedPiece& piece : batch.Pieces)
        RichEdit1->Append(piece.Text, piece.Stamp ? StampColour(color) : ColorToQRgb(color));
    if (!batch.Pieces.empty()) ScrollToNewest(RichEdit1);
    return batch.Counted;
}

void TForm1::Timer2Timer() { TakeReceived(); }

void TForm1::Timer3Timer() { TakeReceived(); }

void TForm1::Zobraz2(TDisplayMode mode, TColor color, std::uint8_t byte, const std::string& separator) {
    ++SentCount;
    ShowCountSoon(Edit3);
    const std::string text =
        RenderSent(byte, TViewRules{mode, CheckBox1->isChecked(), CheckBox1->isEnabled(), separator});
    bool stamped = false;
    if (Session.SentStamps) {
        const afp::TArrivalTime now = afp::ArrivalNow();
        if (LowerStamper.Take(0, now)) {
            const std::string lineBreak = RichEdit2->AtLineStart() ? "" : "\n";
            RichEdit2->Append(lineBreak + StampText(StampClock, now), StampColour(color));
            stamped = true;
        }
    }
    if (text.empty()) {
        if (stamped) ScrollToNewest(RichEdit2);
        return;
    }
    RichEdit2->Append(text, ColorToQRgb(color));
    ScrollToNewest(RichEdit2);
}

void TForm1::EchoSent(std::uint8_t byte) {
    Zobraz2(LowerDisplayMode(), ColorComboBox3->Value(), byte, SeparatorBytes(Edit6, TCodePage::Cp1252));
}

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
    UpperStamper.Reset();
    Port1Count = 0;
    Edit2->SetNumber(0);
    Port2Count = 0;
    Edit7->SetNumber(0);
    CountStale[0] = CountStale[1] = false;
    Edit4->setFocus();
}

void TForm1::Label18Click() { Button1Click(); }

void TForm1::Button4Click() {
    RichEdit2->Clear();
    LowerStamper.Reset();
    Edit4->clear();
    SentCount = 0;
    Edit3->SetNumber(0);
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
