// The input box: its set-ups, its key handling, its length limit and the
// change handling that turns its text into bytes for port 1. See Unit1.h for
// the contract; script playback, which feeds the same handling, is in
// Unit1Playback.cpp.
#include "monitor/Unit1.h"

#include "monitor/SessionLog.h"
#include "serial/AfErrors.h"
#include "text/CodePages.h"
#include "ui/AfApplicationError.h"
#include "widgets/ColorComboBox.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace {

// The line length of Enter mode.
constexpr int EnterModeLimit = 255;

// How often a wait for room in port 1's output queue looks again. The
// queue's drained event ends the wait at once; this notices the room that
// opens before the queue is empty, and a port closed meanwhile.
constexpr int RoomCheckMs = 5;

// The codes the key handling sees for keys other than typed characters.
constexpr unsigned char BackspaceKey = 8;
constexpr unsigned char PasteKey = 0x16;  // Ctrl+V
constexpr unsigned char EnterKey = 13;

// A character that typing puts into the box. C0 and C1 controls come from
// edit keys (Backspace, Delete, Ctrl+C ...), which the box handles itself.
bool IsPrintable(QChar character) {
    const char16_t code = character.unicode();
    return code >= 0x20 && code != 0x7F && !(code >= 0x80 && code < 0xA0);
}

// The byte of a typed character; none when the code page cannot hold it.
std::optional<unsigned char> TypedByte(QChar character) {
    if (!IsPrintable(character)) return std::nullopt;
    return UnicodeToCodePage(TCodePage::Cp1250, character.unicode());
}

QChar BoxCharacter(unsigned char byte) { return QChar(CodePageToUnicode(TCodePage::Cp1250, byte)); }

QString GroupText(const std::string& group) {
    return QString::fromStdU16String(BytesToUnicode(TCodePage::Cp1250, group));
}

}  // namespace

// Sees every event of the box before the box does. Lives as long as the box,
// which outlives the window's own destructor: only the user's input events,
// which never come while the window is torn down, reach the window.
class TForm1::TInputBoxKeys : public QObject {
public:
    TInputBoxKeys(TForm1* form, QLineEdit* box) : QObject(box), Form(form) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::KeyPress:
            case QEvent::InputMethod:
            case QEvent::ContextMenu:
            case QEvent::MouseButtonRelease: return Form->InputBoxEvent(event);
            default: return false;
        }
    }

private:
    TForm1* Form;
};

void TForm1::WatchInputBox() {
    Edit4->installEventFilter(new TInputBoxKeys(this, Edit4));
    Edit4->setAcceptDrops(false);
}

// ---- set-ups ----

TInputFormat TForm1::InputFormat() const {
    if (rhex->isChecked()) return TInputFormat::Hex;
    if (Rdec->isChecked()) return TInputFormat::Dec;
    return TInputFormat::Ascii;
}

bool TForm1::InputBoxActive() const { return BackgroundColor(Edit4) == WindowColor(); }

void TForm1::RcharClick() {
    Edit4Limit = static_cast<int>(GroupSize(InputFormat()));
    ChCR->setEnabled(false);
    chlf->setEnabled(false);
    Edit4->setFocus();
}

void TForm1::RstringClick() {
    Edit4Limit = EnterModeLimit;
    ChCR->setEnabled(true);
    chlf->setEnabled(true);
    Edit4->setFocus();
}

void TForm1::FormatSetUp() {
    Edit4Limit = Rchar->isChecked() ? static_cast<int>(GroupSize(InputFormat())) : EnterModeLimit;
    Edit4->setFocus();
}

void TForm1::RasciiClick() { FormatSetUp(); }
void TForm1::rhexClick() { FormatSetUp(); }
void TForm1::RdecClick() { FormatSetUp(); }
void TForm1::ChCRClick() { Edit4->setFocus(); }
void TForm1::chlfClick() { Edit4->setFocus(); }

// ---- the user's ways into the box ----

bool TForm1::InputBoxEvent(QEvent* event) {
    // Esc stops a playing script, also while the box waits to send; without
    // a script it is the box's as before.
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
        ScriptPlaying()) {
        StopScript();
        return true;
    }
    if (event->type() == QEvent::ContextMenu) {
        ShowInputBoxMenu(static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    }
    // While the box waits to send, what it holds cannot change: no input
    // reaches it.
    const auto* mouse = event->type() == QEvent::MouseButtonRelease ? static_cast<QMouseEvent*>(event) : nullptr;
    if (SendWaiting) return !mouse || mouse->button() == Qt::MiddleButton;
    bool handled = false;
    switch (event->type()) {
        case QEvent::KeyPress: {
            // An error ends the key's handling; the key is not taken then.
            handled = true;
            AfGuard([&] { handled = InputBoxKey(*static_cast<QKeyEvent*>(event)); });
            break;
        }
        case QEvent::InputMethod: {
            // Committed text is typed character by character; the preedit
            // goes on to the box as it is.
            auto* input = static_cast<QInputMethodEvent*>(event);
            if (input->commitString().isEmpty()) break;
            AfGuard([&] {
                for (const QChar character : input->commitString()) TypeCharacter(character);
            });
            QInputMethodEvent rest(input->preeditString(), input->attributes());
            QCoreApplication::sendEvent(Edit4, &rest);
            handled = true;
            break;
        }
        case QEvent::MouseButtonRelease: {
            if (mouse->button() != Qt::MiddleButton || !QGuiApplication::clipboard()->supportsSelection() ||
                !Edit4->rect().contains(mouse->position().toPoint()))
                break;
            Edit4->deselect();
            AfGuard([this] { PasteWithinLimit(QClipboard::Selection); });
            handled = true;
            break;
        }
        default: break;
    }
    return handled;
}

void TForm1::ShowInputBoxMenu(const QPoint& at) {
    // The box's own menu, with its Paste held to the limit. Pasting from the
    // menu passes no key, so it works while the box is inactive too; while
    // the box waits to send, its own entries are off.
    QMenu* menu = Edit4->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (QAction* action : menu->actions()) {
        if (SendWaiting) action->setEnabled(false);
        // Qt connects the menu's Paste to the box's paste slot.
        if (!disconnect(action, SIGNAL(triggered()), Edit4, SLOT(paste())) &&
            !disconnect(action, &QAction::triggered, Edit4, &QLineEdit::paste))
            continue;
        action->setObjectName("edit-paste");
        connect(action, &QAction::triggered, this,
                [this] { AfGuard([this] { PasteWithinLimit(QClipboard::Clipboard); }); });
    }
    menu->addSeparator();
    QAction* stop = menu->addAction(QStringLiteral("Stop script\tEsc"));
    stop->setObjectName("stop-script");
    stop->setEnabled(ScriptPlaying());
    connect(stop, &QAction::triggered, this, [this] { StopScript(); });
    menu->popup(at);
}

bool TForm1::InputBoxKey(const QKeyEvent& key) {
    if (key.matches(QKeySequence::Paste)) {
        unsigned char code = PasteKey;
        Edit4KeyPress(code);
        if (code != 0) PasteWithinLimit(QClipboard::Clipboard);
        return true;
    }
    switch (key.key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            // Enter leaves a one-line box's text as it is.
            unsigned char code = EnterKey;
            Edit4KeyPress(code);
            return true;
        }
        case Qt::Key_Backspace: {
            // Backspace is a character key: a box that discards keys keeps
            // its text.
            unsigned char code = BackspaceKey;
            Edit4KeyPress(code);
            return code == 0;
        }
        case Qt::Key_Tab:
        case Qt::Key_Backtab: return false;
        default: break;
    }
    const QString text = key.text();
    // Keys without a character to type (moving, deleting, copying, undoing)
    // work on the box as usual.
    if (text.isEmpty() || !std::all_of(text.begin(), text.end(), IsPrintable)) return false;
    for (const QChar character : text) TypeCharacter(character);
    return true;
}

void TForm1::TypeCharacter(QChar character) {
    const std::optional<unsigned char> byte = TypedByte(character);
    if (!byte) return;
    unsigned char key = *byte;
    Edit4KeyPress(key);
    if (key == 0) return;
    InsertWithinLimit(QString(BoxCharacter(key)));
}

void TForm1::PasteWithinLimit(int clipboardMode) {
    if (SendWaiting) return;  // a menu opened before the wait
    const QString clip = QGuiApplication::clipboard()->text(static_cast<QClipboard::Mode>(clipboardMode));
    // A one-line box takes the text up to its first line break, and only the
    // characters it can hold.
    QString text;
    for (const QChar character : clip) {
        if (character == '\r' || character == '\n') break;
        if (UnicodeToCodePage(TCodePage::Cp1250, character.unicode())) text += character;
    }
    InsertWithinLimit(text);
}

void TForm1::InsertWithinLimit(const QString& text) {
    // The text replaces the selection; what does not fit is dropped, and a
    // box already at its limit takes nothing (its selection stays).
    const auto kept = Edit4->text().size() - Edit4->selectedText().size();
    const auto room = std::max<qsizetype>(0, Edit4Limit - kept);
    if (room == 0 && !text.isEmpty()) return;
    Edit4->insert(text.left(room));
}

// ---- key and change handling ----

void TForm1::Edit4KeyPress(unsigned char& Key) {
    if (rhex->isChecked()) Key = UpCaseChar(Key);
    if (!InputBoxActive()) {
        Key = 0;
        return;
    }
    const bool enterMode = Rstring->isChecked();
    EnterPending = Key == EnterKey && enterMode;
    if (Key != EnterKey) return;
    if (enterMode) {
        Edit4Change();
        return;
    }
    const bool empty = Edit4->text().isEmpty();
    if (empty && ChCR->isChecked()) SendToPort1(13, true);
    if (empty && chlf->isChecked()) SendToPort1(10, false);
    // A new line in the lower view, whatever the box holds.
    Zobraz2(dmAscii, ColorComboBox3->Value(), 10, std::string());
}

void TForm1::Edit4Change() {
    if (SendWaiting) return;
    const bool enterMode = Rstring->isChecked();
    if (!EnterPending && enterMode) return;
    try {
        SendFromBox(enterMode);
    } catch (...) {
        EnterPending = false;
        throw;
    }
}

void TForm1::SendFromBox(bool enterMode) {
    const TInputFormat format = InputFormat();
    const std::string text = BoxBytes();
    // A full box is one complete value only in Auto mode: in Enter mode the
    // limit is the line's length, and a full line is sent whole like any
    // other.
    if (!enterMode && text.size() == static_cast<std::size_t>(Edit4Limit)) {
        SendToPort1(BoxValue(format, text), true);
        // Clearing runs this again, which stops at once.
        Edit4->clear();
        Edit4->setFocus();
        return;
    }
    if (!enterMode) return;
    for (const std::string& group : CutGroups(text, GroupSize(format))) SendToPort1(BoxValue(format, group), true);
    if (ChCR->isChecked()) SendToPort1(13, true);
    if (chlf->isChecked()) SendToPort1(10, true);
    EnterPending = false;
    Edit4->clear();
    Edit4->setFocus();
}

std::string TForm1::BoxBytes() const {
    const QString text = Edit4->text();
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(text.size()));
    // Text set from outside the box's own ways may hold a character the page
    // lacks; it counts as "?".
    for (const QChar character : text)
        bytes.push_back(static_cast<char>(UnicodeToCodePage(TCodePage::Cp1250, character.unicode()).value_or('?')));
    return bytes;
}

std::uint8_t TForm1::BoxValue(TInputFormat format, const std::string& group) const {
    try {
        return ValueByte(format, group);
    } catch (const EConvertError&) {
        // The message quotes the group as the box shows it.
        throw EConvertError("'" + GroupText(group).toLocal8Bit().toStdString() + "' is not a valid integer value");
    }
}

// ---- sending ----

bool TForm1::OutputQueueFull() { return Comport1->IsOpen() && Comport1->OutFree() < 1; }

void TForm1::SendToPort1(std::uint8_t byte, bool echo) {
    if (OutputQueueFull()) {
        // The value or line being sent must not change under the sending:
        // meanwhile the box takes no input and runs no change handling, and
        // the side button starts no script. Everything else goes on, so the
        // user can still close the port, which ends the wait.
        const bool before = SendWaiting;
        SendWaiting = true;
        const auto restore = qScopeGuard([&] { SendWaiting = before; });
        WaitForOutputRoom();
    }
    if (echo) EchoSent(byte);
    const std::string bytes(1, static_cast<char>(byte));
    Comport1->WriteText(bytes);
    if (Log) Log->AddSent(Comport1->ComNumber(), bytes, afp::ArrivalNow());
}

void TForm1::WaitForOutputRoom() {
    if (!OutputQueueFull()) return;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    connect(&check, &QTimer::timeout, &loop, [&] {
        if (!OutputQueueFull()) loop.quit();
    });
    RoomWaits.push_back(&loop);
    const auto leave = qScopeGuard([&] { std::erase(RoomWaits, &loop); });
    check.start(RoomCheckMs);
    while (OutputQueueFull()) {
        // -1: the application is quitting and serves no loop any more. A
        // stopped script sends nothing more, not even the byte that waits.
        if (loop.exec() == -1 || StopRequested) throw EAbort();
    }
}
