// Script playback: the input box's side button plays a *.cpo file to port 1
// through the box's own key and change handling. See Unit1.h for the
// contract and text/ScriptFormat.h for the file's lines and markers.
#include "monitor/Unit1.h"

#include "monitor/SessionLog.h"
#include "serial/AfErrors.h"
#include "text/CodePages.h"
#include "text/ScriptFormat.h"
#include "ui/ScriptFile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace {

// The most a script may hold: the text capacity of a classic edit control.
constexpr std::size_t ScriptCapacity = 0x7FFFFFFE;

// How long the player works before it lets the window answer the user: a
// long data line or a script without delays would otherwise hold the window
// until its end, and Stop could not be reached.
constexpr int SliceMs = 15;
// Characters a run that appends without sending looks at between checks of
// the clock.
constexpr std::size_t QuietRunStride = 4096;

// 4000 as "4 000": the window title's line numbers.
QString Grouped(std::size_t number) {
    QString digits = QString::number(number);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, u' ');
    return digits;
}

// The file's text up to its first zero byte, as lines. Only a regular file
// is read (ReadScriptFile), so a named pipe or a device cannot hold the
// window.
std::vector<std::string> ReadScriptLines(const QString& path) {
    std::string text = ReadScriptFile(path);
    text.resize(std::min(text.find('\0'), text.size()));
    if (text.size() > ScriptCapacity) throw std::runtime_error("Text exceeds memo capacity");
    return SplitScriptLines(text);
}

QChar BoxCharacter(unsigned char byte) { return QChar(CodePageToUnicode(TCodePage::Cp1250, byte)); }

}  // namespace

// One delay in progress. Waits nest when a second script starts during a
// delay; each ends only on a tick that finds its own deadline passed.
struct TForm1::TDelayWait {
    explicit TDelayWait(std::int32_t milliseconds) : Deadline(milliseconds, Qt::PreciseTimer) {}
    QDeadlineTimer Deadline;
    QEventLoop Loop;
    bool Done = false;
};

void TForm1::CreatePlayback() {
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    // A name that does not exist may be typed; loading it then fails with
    // "Cannot open file".
    OpenDialog1->setFileMode(QFileDialog::AnyFile);
    OpenDialog1->setNameFilter("Com Port Output (*.cpo)");
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    // A delay is never cut short by a coarse timer that fires early.
    Timer5->setTimerType(Qt::PreciseTimer);
    Comport1->OnOutBufFree = [this](QObject*) {
        for (QEventLoop* loop : RoomWaits) loop->quit();
    };
}

// One script playing. A second script started during a delay of the first
// plays on top of it; the innermost is last in Playbacks.
struct TForm1::TPlayback {
    QString Name;
    std::size_t Line = 0;
    std::size_t Lines = 0;
};

void TForm1::Edit4ButtonClick() {
    if (!InputBoxActive() || SendWaiting || PlayerYielding) return;
    OpenDialog1->setWindowTitle("Open file ..");
    OpenDialog1->setDirectory(LoadPath);
    OpenDialog1->selectFile(LoadFile);
    if (ShowModal(*OpenDialog1) != QDialog::Accepted) return;
    const QStringList chosen = OpenDialog1->selectedFiles();
    if (chosen.isEmpty()) return;
    PlayScript(chosen.first());
}

void TForm1::PlayScript(const QString& path) {
    const std::vector<std::string> lines = ReadScriptLines(path);
    LoadPath = QString::fromStdU16String(FolderOfPath(path.toStdU16String()));
    LoadFile = QString::fromStdU16String(NameOfPath(path.toStdU16String()));
    Rchar->setChecked(true);
    RcharClick();

    TPlayback playback{LoadFile, 0, lines.size()};
    Playbacks.push_back(&playback);
    const auto leave = qScopeGuard([this] {
        Playbacks.pop_back();
        // The stop is done once the outermost script has ended: what the
        // box held of the stopped scripts is never sent.
        if (Playbacks.empty() && StopRequested) {
            StopRequested = false;
            Edit4->clear();
        }
        ShowTitle();
    });
    SliceEnd.setRemainingTime(SliceMs);
    for (const std::string& line : lines) {
        ++playback.Line;
        if (IsCommandLine(line))
            Prikaz(line);
        else
            PlayDataLine(line);
        if (StopRequested) throw EAbort();
    }
}

void TForm1::StopScript() {
    if (Playbacks.empty()) return;
    StopRequested = true;
    // Every wait of every script ends at once; each player then finds the
    // request and ends too.
    for (TDelayWait* wait : DelayWaits) wait->Loop.quit();
    for (QEventLoop* loop : RoomWaits) loop->quit();
}

void TForm1::ShowTitle() {
    QString title = " Kalvaro";
    if (!Playbacks.empty()) {
        const TPlayback& playing = *Playbacks.back();
        title += QStringLiteral(" \u2014 %1, line %2 of %3")
                     .arg(playing.Name, Grouped(playing.Line), Grouped(playing.Lines));
    }
    if (Log) title += " \u2014 logging to " + QFileInfo(Log->Path()).fileName();
    setWindowTitle(title);
}

void TForm1::YieldWhenDue() {
    if (!SliceEnd.hasExpired()) return;
    ShowTitle();
    {
        // The side button starts no script in the middle of a data line.
        const QScopedValueRollback<bool> yielding(PlayerYielding, true);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    SliceEnd.setRemainingTime(SliceMs);
    if (StopRequested) throw EAbort();
}

void TForm1::PlayDataLine(const std::string& line) {
    for (std::size_t at = 0; at < line.size(); ++at) {
        YieldWhenDue();
        const auto character = static_cast<unsigned char>(line[at]);
        if (!UsedInFormat(InputFormat(), character)) continue;
        // A box that cannot send takes the rest of the line in few changes.
        if (Rstring->isChecked() || Edit4->text().size() >= Edit4Limit) {
            at = AppendQuietRun(line, at);
            continue;
        }
        if (OutputQueueFull()) {
            WaitForOutputRoom();
            if (StopRequested) throw EAbort();
            // The user may have changed the format meanwhile.
            if (!UsedInFormat(InputFormat(), character)) continue;
        }
        unsigned char key = character;
        Edit4KeyPress(key);
        if (key == 0) continue;
        Edit4->setText(Edit4->text() + BoxCharacter(key));
        if (StopRequested) throw EAbort();
    }
}

// Appends the used characters of line from `from` on in one change, until
// the line or the player's time slice ends. Only called while the change
// handling cannot send (Enter mode, or a box holding at least its limit, to
// which appending never brings it back), so it makes no difference to what
// is sent that the change runs once for the run instead of once per
// character; it keeps a long line from costing a change of an ever longer
// text per character. Nothing here lets the GUI run, so the format, mode and
// active state stay as they are for the run. Returns the last index looked
// at.
std::size_t TForm1::AppendQuietRun(const std::string& line, std::size_t from) {
    const TInputFormat format = InputFormat();
    const QString before = Edit4->text();
    const qsizetype room = std::max<qsizetype>(0, Edit4->maxLength() - before.size());
    QString run;
    std::size_t at = from;
    for (; at < line.size(); ++at) {
        if ((at - from) % QuietRunStride == QuietRunStride - 1 && SliceEnd.hasExpired()) break;
        const auto character = static_cast<unsigned char>(line[at]);
        if (!UsedInFormat(format, character)) continue;
        unsigned char key = character;
        Edit4KeyPress(key);
        if (key != 0 && run.size() < room) run += BoxCharacter(key);
    }
    if (!run.isEmpty()) Edit4->setText(before + run);
    return (at < line.size() ? at : line.size()) - 1;
}

void TForm1::Prikaz(const std::string& line) {
    switch (MarkerOf(line)) {
        // Qt's setChecked runs no click handling: the set-up is run here.
        case TScriptMarker::Hex:
            rhex->setChecked(true);
            rhexClick();
            break;
        case TScriptMarker::Dec:
            Rdec->setChecked(true);
            RdecClick();
            break;
        case TScriptMarker::Ascii:
            Rascii->setChecked(true);
            RasciiClick();
            break;
        case TScriptMarker::Delay: Delay(DelayMilliseconds(line)); break;
        case TScriptMarker::CR:
            WaitForOutputRoom();
            SendToPort1(13, true);
            break;
        case TScriptMarker::LF:
            WaitForOutputRoom();
            SendToPort1(10, false);
            break;
        case TScriptMarker::UserDef:
            WaitForOutputRoom();
            SendToPort1(UserDefByte(line), true);
            break;
        case TScriptMarker::Unknown: break;
    }
}

void TForm1::Delay(std::int32_t milliseconds) {
    if (milliseconds <= 0) return;
    DelayDone = false;
    TDelayWait wait(milliseconds);
    DelayWaits.push_back(&wait);
    const auto leave = qScopeGuard([&] {
        std::erase(DelayWaits, &wait);
        ArmDelayTimer();
    });
    ArmDelayTimer();
    ShowTitle();
    while (!wait.Done) {
        // -1: the application is quitting and serves no loop any more.
        if (wait.Loop.exec() == -1 || StopRequested) throw EAbort();
    }
    SliceEnd.setRemainingTime(SliceMs);
}

// Timer5 runs for the earliest deadline of the delays in progress, and
// stops when there are none.
void TForm1::ArmDelayTimer() {
    qint64 earliest = -1;
    for (const TDelayWait* wait : DelayWaits) {
        if (wait->Done) continue;
        const qint64 left = wait->Deadline.remainingTime();
        if (earliest < 0 || left < earliest) earliest = left;
    }
    if (earliest < 0) {
        Timer5->stop();
        return;
    }
    // Never 0: a zero-interval timer would tick without pause.
    Timer5->start(static_cast<int>(std::clamp<qint64>(earliest, 1, std::numeric_limits<int>::max())));
}

void TForm1::Timer5Timer() {
    DelayDone = true;
    for (TDelayWait* wait : DelayWaits) {
        if (wait->Done || !wait->Deadline.hasExpired()) continue;
        wait->Done = true;
        wait->Loop.quit();
    }
    ArmDelayTimer();
}
