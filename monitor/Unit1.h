#pragma once
// TForm1: the main window, the program itself.
//
// Owns: the two serial port components Comport1 (monitored and the output
// port) and ComPort2 (monitored only), every control of the monitor, the five
// timers and the settings file's main keys. The About box, the script editor
// and the user-defined button dialog are created after this window and
// handed over with SetCompanions; the window does not own them.
//
// Lifecycle: the constructor lays the window out, gives both components their
// stored settings (9600 bit/s) and their Loaded step, wires their events and
// reads the settings file (colours, separators, script paths). Each time the
// window becomes the program's active window — when it is first shown, and
// whenever the user comes back to it from the About box, the editor or the
// user-button dialog, but not from another program, a message box or a file
// dialog — FormActivate resets the three counters and runs the input box's
// Auto set-up. A close request (the close box, "E&xit")
// writes every key in order; a refused write shows "Unable to write to
// c_28_zirk.ini" and abandons the close, so the window stays open. An
// accepted close emits Closed(); the program ends then. The components are
// destroyed with the window, which closes their devices.
//
// Geometry: Qt's window size excludes the window manager's frame, so the
// fixed 708 x 560 is the client size including the menu bar; every control's
// place is given in pixels of the central widget, the client area below the
// menu bar, and no layouts move them.
//
// Threads: GUI thread only. Every handler, timer tick and delivered port event
// runs through AfGuard: an error ends that handler and is shown in the
// application's error box; the window goes on. Port 1's OnPortOpen runs
// inside the Open that raised it, so its errors reach that Open's caller.
//
// Test seam: modal windows are run through ShowModal, which calls the runner
// set with SetModalRunner (QDialog::exec when none is set).

#include "monitor/MonitorSettings.h"
#include "monitor/ReceiveRules.h"
#include "monitor/TimeStamps.h"
#include "serial/AfComPort.h"
#include "text/ValueConversion.h"
#include "widgets/ColorValue.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QButtonGroup;
class QCheckBox;
class QPoint;
class QComboBox;
class QDialog;
class QEvent;
class QEventLoop;
class QFileDialog;
class QFrame;
class QInputDialog;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QToolButton;
class QWindow;
class TAfDeviceWatch;
class TAfPortComboBox;
class TColorComboBox;
class TCountField;
class TEditor;
class TForm2;
class TForm3;
class TLimitedEdit;
class TMonitorView;
struct TPortStart;
struct TStartOptions;
class TSessionLog;
class TFindBar;

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The windows created after this one. about and editor serve the menu,
    // userButton's three fields are written at close. Any may be null (the
    // menu item then does nothing, the close writes the default texts).
    void SetCompanions(TForm3* about, TEditor* editor, TForm2* userButton);

    using TModalRunner = std::function<int(QDialog&)>;
    void SetModalRunner(TModalRunner runner) { ModalRunner = std::move(runner); }
    int ShowModal(QDialog& dialog);

    // The colours that carry state: a lamp's or panel's background, a
    // switch's face, a label's font.
    static void SetBackgroundColor(QWidget* widget, TColor color);
    static TColor BackgroundColor(const QWidget* widget);
    static void SetFaceColor(QPushButton* button, TColor color);
    static TColor FaceColor(const QPushButton* button);
    static void SetFontColor(QWidget* widget, TColor color);
    static TColor FontColor(const QWidget* widget);

    // ---- window state ----
    QString EditPath;
    QString EditFile;
    QString LoadPath;
    QString LoadFile;
    std::int32_t Port1Count = 0;
    std::int32_t Port2Count = 0;
    std::int32_t SentCount = 0;

    // ---- components without a face ----
    TAfComPort* Comport1;   // port 1: monitored, and the port the input box and scripts send to
    TAfComPort* ComPort2;   // port 2: monitored only
    QTimer* Timer1;         // 1000 ms, running: status refresh
    QTimer* Timer2;         // 1 ms: takes received bytes while port 1 floods
    QTimer* Timer3;         // 1 ms: takes received bytes while port 2 floods alone
    QTimer* Timer4;         // 1000 ms, stopped: RING lamp hold
    QTimer* Timer5;         // stopped: script delays
    QPlainTextEdit* Memo1;  // hidden line buffer; unused: the capture and the player keep their own text
    QAction* Exit1;         // menu "E&xit": closes the window as its close box does
    QAction* Editor1;       // menu "&Editor": shows the script editor beside this window
    QAction* About1;        // menu "&About ...": shows the About box, modal
    // The machine's serial devices coming and going: the choosers follow it and
    // a port whose device is lost waits for it ("COMn: waiting for device").
    // Null with [Ports] AutoReopen=0, read at start: lost ports then stay closed.
    TAfDeviceWatch* DeviceWatch = nullptr;

    // ---- port 1 panel ----
    QLabel* Label1;                  // port 1's title "Port 1 ... setting"; green while port 1 is open
    TAfPortComboBox* ComboBox1;      // port 1's chooser: a pick shows the summary, then opens that COM number
    QLabel* Image1;                  // port 1's switch picture; a click shows or hides Panel1 while port 1 is open
    QLabel* Label29;                 // port 1's settings summary over its switch picture; a click toggles Panel1
    TColorComboBox* ColorComboBox1;  // colour of port 1's bytes in the upper view and of its chip; saved
    QPushButton* Button7;            // "OFF": closes port 1; visible while port 1 is open
    QFrame* Led1;                    // port 1's CTS lamp: green while CTS is on
    QFrame* Led2;                    // port 1's DSR lamp
    QFrame* Led3;                    // port 1's RING lamp: lit by a ring, put out by Timer4
    QFrame* Led4;                    // port 1's RLSD lamp
    QLabel* Label12;                 // "CTS" beside Led1
    QLabel* Label13;                 // "DSR" beside Led2
    QLabel* Label14;                 // "RING" beside Led3
    QLabel* Label15;                 // "RLSD" beside Led4
    QFrame* Panel1;                  // port 1's pull-down settings panel: the five boxes below and Button3
    QComboBox* ComboBox2;            // port 1's baud rate; a change reopens the port with it
    QComboBox* ComboBox3;            // port 1's parity; likewise
    QComboBox* ComboBox4;            // port 1's data bits; likewise
    QComboBox* ComboBox5;            // port 1's stop bits; likewise
    QComboBox* ComboBox6;            // port 1's flow control; likewise
    QPushButton* Button3;            // "OK" of Panel1: rolls the panel up

    // ---- port 2 panel ----
    QLabel* Label2;                  // port 2's title "Port 2 ... setting"; green while port 2 is open
    TAfPortComboBox* ComComboBox3;   // port 2's chooser: a pick shows the summary, then opens that COM number
    QLabel* Image2;                  // port 2's switch picture; a click shows or hides Panel2 while port 2 is open
    QLabel* Label30;                 // port 2's settings summary over its switch picture; a click toggles Panel2
    TColorComboBox* ColorComboBox2;  // colour of port 2's bytes in the upper view and of its chip; saved
    QPushButton* Button6;            // "OFF": closes port 2; visible while port 2 is open
    QFrame* led5;                    // port 2's CTS lamp: green while CTS is on
    QFrame* led6;                    // port 2's DSR lamp
    QFrame* led7;                    // port 2's RING lamp: lit by a ring, put out by Timer4
    QFrame* led8;                    // port 2's RLSD lamp
    QLabel* Label31;                 // "CTS" beside led5
    QLabel* Label32;                 // "DSR" beside led6
    QLabel* Label33;                 // "RING" beside led7
    QLabel* Label34;                 // "RLSD" beside led8
    QFrame* Panel2;                  // port 2's pull-down settings panel: the five boxes below and Button5
    QComboBox* ComboBox11;           // port 2's baud rate; a change reopens the port with it
    QComboBox* ComboBox10;           // port 2's parity; likewise
    QComboBox* ComboBox9;            // port 2's data bits; likewise
    QComboBox* ComboBox8;            // port 2's stop bits; likewise
    QComboBox* ComboBox7;            // port 2's flow control; likewise
    QPushButton* Button5;            // "OK" of Panel2: rolls the panel up

    // ---- upper view region ----
    QLabel* Label3;              // "Input from" in the upper view's header bar
    QLabel* Label7;              // legend chip "COMn" of port 1, in port 1's colour; empty while closed
    QLabel* Label10;             // legend chip "COMn" of port 2, in port 2's colour; empty while closed
    TMonitorView* RichEdit1;     // upper view: the bytes received on both ports, each in its port's colour
    QPushButton* Button1;        // "Clear": empties the upper view and zeroes both its counts
    QPushButton* Button2;        // "Save": writes the upper view's text to a capture file (*.cpi)
    QLabel* Label5;              // "Data counts" before Edit2 and Edit7
    TCountField* Edit2;          // port 1's received count (Port1Count)
    TCountField* Edit7;          // port 2's received count (Port2Count)
    QRadioButton* RadioButton1;  // upper view in ASCII; disables CheckBox4
    QRadioButton* RadioButton2;  // upper view in HEX; enables CheckBox4
    QRadioButton* RadioButton3;  // upper view in Decimal; enables CheckBox4
    QCheckBox* CheckBox4;        // "Aply LF" (HEX, Decimal): a received LF starts a new line, not a value
    QLabel* Label8;              // "Separe string" before Edit5
    TLimitedEdit* Edit5;         // the upper view's separator, 3 characters typed; saved as Sep1

    // ---- lower view region ----
    QLabel* Label4;                  // "Output to Port" in the lower view's header; coloured as Label1
    QLabel* Label11;                 // port 1's "COMn" beside Label4; keeps the last number once port 1 closes
    TColorComboBox* ColorComboBox3;  // colour of the sent bytes in the lower view; saved
    QPushButton* ledCTS;             // "RTS" switch of port 1 (not CTS, whatever the name); green = RTS on
    QPushButton* LEDDTR;             // "DTR" switch of port 1; green = DTR on
    TMonitorView* RichEdit2;         // lower view: the echo of every byte sent to port 1
    QPushButton* Button4;            // "Clear": empties the lower view and the input box, zeroes the sent count
    QLabel* Image3;                  // About picture; a click shows the About box
    QLabel* Label6;                  // "Data counts" before Edit3
    TCountField* Edit3;              // the count of bytes sent to port 1 (SentCount)
    QRadioButton* RadioButton4;      // lower view in ASCII; disables CheckBox1
    QRadioButton* RadioButton5;      // lower view in HEX; enables CheckBox1
    QRadioButton* RadioButton6;      // lower view in Decimal; enables CheckBox1
    QCheckBox* CheckBox1;            // "Aply CR,LF" (HEX, Decimal): a sent CR leaves no trace, an LF starts a new line
    QLabel* Label9;                  // "Separe string" before Edit6
    TLimitedEdit* Edit6;             // the lower view's separator, 3 characters typed; saved as Sep2

    // ---- input row ----
    QLabel* Label18;           // "INPUT Box" over Edit4; a click clears the upper view as Button1 does
    QLineEdit* Edit4;          // the input box: what is typed goes to port 1; takes keys while port 1 is open
    QToolButton* Edit4Button;  // Edit4's side button "Load from file": plays a script (*.cpo) to port 1
    QLabel* Label35;           // "Value" over the input format buttons
    QRadioButton* Rascii;      // input format ASCII: one character is one byte
    QRadioButton* rhex;        // input format HEX: two hexadecimal digits are one byte
    QRadioButton* Rdec;        // input format Dec: three decimal digits are one byte
    QLabel* Label17;           // "Terminated" over the send mode buttons
    QRadioButton* Rchar;       // send mode Auto: a value goes the moment it is complete
    QRadioButton* Rstring;     // send mode Enter: the line goes on Enter, then the checked line ends
    QLabel* Label16;           // "Send" over ChCR and chlf
    QCheckBox* ChCR;           // "CR": a carriage return after the line sent on Enter
    QCheckBox* chlf;           // "LF": a line feed after the line sent on Enter (after the CR)

    // ---- handlers ----
    void FormActivate();
    // Writes the settings file; false when a write was refused (the error has
    // been shown) and the close must be abandoned.
    bool FormCloseQuery();
    void Exit1Click();
    void Editor1Click();
    void About1Click();
    void Image3Click();

    void Image1Click();
    void Image2Click();
    void Button3Click();
    void Button5Click();
    void Button7Click();
    void Button6Click();
    void ComboBox1Change();
    void ComComboBox3Change();
    void ComboBox2Change();
    void ComboBox3Change();
    void ComboBox4Change();
    void ComboBox5Change();
    void ComboBox6Change();
    void ComboBox11Change();
    void ComboBox10Change();
    void ComboBox9Change();
    void ComboBox8Change();
    void ComboBox7Change();
    // Enter in a baud-rate box, or leaving it: a whole number from 50 to
    // 12 000 000 typed there that is no item becomes the port's user rate
    // (UserBaudRate), and the port reopens with it; any other text changes
    // nothing. Typing alone never applies a number: every number on the way
    // to 921600 would be tried on the device.
    void ComboBox2Typed();
    void ComboBox11Typed();
    void Timer1Timer();

    void Comport1CTSChanged();
    void Comport1DSRChanged();
    void Comport1RINGDetected();
    void Comport1RLSDChanged();
    void ComPort2CTSChanged();
    void ComPort2DSRChanged();
    void ComPort2RINGDetected();
    void ComPort2RLSDChanged();
    void Comport1PortOpen();
    void Timer4Timer();
    void ledCTSClick();
    void LEDDTRClick();

    void Timer2Timer();
    void Timer3Timer();
    void Timer5Timer();
    void RadioButton1Click();
    void RadioButton2Click();
    void RadioButton3Click();
    void RadioButton4Click();
    void RadioButton5Click();
    void RadioButton6Click();
    void CheckBox4Click();
    void CheckBox1Click();
    void Button1Click();
    void Button4Click();

    // ---- the command line (Unit1StartOptions.cpp, StartOptions.h) ----
    // Applies what the command line asked for, once the window shows: the
    // upper view's mode; the log starts; each port given opens as if the user had set its
    // settings and picked it (a failed open shows the usual error box and
    // the window goes on); the script plays once port 1 is open.
    void ApplyStartOptions(const TStartOptions& options);

    // ---- receive display and capture (Unit1Display.cpp) ----
    // The display mode a view's radio buttons select.
    TDisplayMode UpperDisplayMode() const;
    TDisplayMode LowerDisplayMode() const;
    // One sent byte into the lower view, counted in SentCount.
    void Zobraz2(TDisplayMode mode, TColor color, std::uint8_t byte, const std::string& separator);
    // The lower view's mode, colour and separator, read afresh: what every
    // echo of a sent byte uses.
    void EchoSent(std::uint8_t byte);
    void Button2Click();
    void Label18Click();
    QFileDialog* SaveDialog1;  // "Save data as.." for the capture; keeps its last name for the run

    // ---- time stamps and the log (Unit1Session.cpp) ----
    // The options beyond the classic window. They live in the views' context
    // menus, and their shortcuts work anywhere in the window. Their settings
    // are Session, read at creation and written at close in [Kalvaro].
    //
    // Time stamps (TimeStamps.h): with Stamps1 on, every poll's bytes are
    // read with their arrival times and the upper view starts a stamped line
    // where the port changes or a port was quiet for longer than the gap;
    // SentStamps1 does the same in the lower view for each byte sent, at the
    // moment it is echoed. Stamps are drawn in a subdued form of their
    // colour. Off, the views and the captures are exactly as without them.
    //
    // The log (SessionLog.h): every byte the polls read from either port and
    // every byte sent to port 1 goes to the log as it is read or sent, not
    // as shown, so nothing a view drops is missing. After each poll the
    // window marks the time before which both ports have been read empty (a
    // closed port has nothing to wait for); while a log runs the polling
    // timers do not sleep, so the mark keeps up. The title says that a log
    // runs. A failing log stops with its one message; the ports go on.
    QAction* Stamps1;               // "Time stamps" (Ctrl+T): the upper view stamps its bursts
    QAction* SentStamps1;           // "Time stamps on sent bytes" (Ctrl+Shift+T): the lower view stamps
    QAction* StampGap1;             // "Stamp gap: n ms..." (Ctrl+G): asks for the gap, 1 to 10000 ms
    QAction* LogToFile1;            // "Log to file..." (Ctrl+L) while no log runs, "Stop log" while one does
    QAction* LogRaw1;               // "Log raw bytes too" (Ctrl+Shift+L): a log started later also writes .bin files
    QFileDialog* LogDialog1;        // "Log to file": the log's file, starting in Session.LogPath
    QInputDialog* StampGapDialog1;  // "Time stamps": the gap in milliseconds
    TSessionOptions Session;
    void Stamps1Click();
    void SentStamps1Click();
    void StampGap1Click();
    void LogToFile1Click();
    void LogRaw1Click();
    bool LogRunning() const { return static_cast<bool>(Log); }
    // The window's entries of a view's context menu, after the view's own.
    void FillViewMenu(TMonitorView* view, QMenu& menu);

    // ---- finding in the views (Unit1Find.cpp, widgets/FindBar.h) ----
    // Ctrl+F opens the find bar of the view last clicked (the upper view
    // until one is), a view's "Find..." its own. While a view is held at a
    // match (TMonitorView::Held) the window does not scroll it to the newest
    // text; once the hold ends it does at once. Closing a bar sends the
    // keyboard home to the input box.
    QAction* Find1;      // "Find..." (Ctrl+F)
    TFindBar* FindBar1;  // the upper view's find bar
    TFindBar* FindBar2;  // the lower view's find bar
    void Find1Click();
    void OpenFind(TMonitorView* view);

    // ---- input box and script playback (Unit1Input.cpp, Unit1Playback.cpp) ----
    // The input box Edit4 sends what the user types to port 1: single
    // characters, two hexadecimal digits or three decimal digits make one
    // byte each, sent the moment the value is complete (Auto) or line by line
    // on Enter, with the checked line ends. Its text is single-byte text: a
    // character's byte is its code in code page 1250, and a typed or pasted
    // character that the page cannot hold is not taken. The box holds at most
    // 32767 characters (the line edit's own capacity); characters the program
    // appends beyond that are dropped.
    //
    // Every way the user puts text into the box (keys, input methods, the
    // paste shortcut, the context menu, the middle button) passes the box's
    // key handling and its length limit first; the program's own changes
    // (script playback, clearing) are not cut by the limit. Drops are not
    // taken, as in a classic edit control. Every change of the text, the
    // program's included, runs Edit4Change through AfGuard: an error there is
    // shown and whatever changed the text goes on.
    //
    // Sending: a byte is echoed in the lower view, then handed to port 1 as a
    // one-byte string. Before handing it over the box waits in the event loop
    // until port 1's output queue has room; meanwhile the GUI keeps running,
    // but the box takes no input and runs no change handling and the side
    // button starts no script, so the value or line being sent cannot change
    // under it. Closing the port ends the wait; a closed port raises the
    // component's write error. An error in the Enter sending clears
    // EnterPending, so a later deletion sends nothing by surprise.
    //
    // Set-ups: none of them changes the box's text; each ends with the focus
    // in the box.
    void RcharClick();    // Auto: limit = the format's group size; CR and LF disabled
    void RstringClick();  // Enter: limit 255; CR and LF enabled
    void RasciiClick();   // formats: limit = group size in Auto, 255 in Enter
    void rhexClick();
    void RdecClick();
    void ChCRClick();
    void chlfClick();
    // The key handling, run for every character key before the box takes it
    // and for every script data character. Key is the character's byte; it
    // comes back as its capital in HEX format, or 0 when the box discards it
    // (the box is inactive). Enter (13) sends here: the line in Enter mode,
    // the checked line ends of an empty box in Auto mode; the errors of that
    // sending leave it.
    void Edit4KeyPress(unsigned char& Key);
    // The change handling: in Auto mode sends the value a full box holds; in
    // Enter mode, right after Enter, sends the whole line, however full the
    // box (a line of 255 characters is 255 values, not one). Raises the conversion error of a Dec value
    // and port 1's write error; the box then keeps its text.
    void Edit4Change();
    // Enter has just been pressed in Enter mode: the change handling sends
    // the whole line.
    bool EnterPending = false;
    // Active while the box's background has the window colour, which the
    // status refresh gives it while port 1 is open. Only an active box takes
    // keys and plays scripts.
    bool InputBoxActive() const;
    // The most characters that typing or pasting can put into the box.
    int InputLimit() const { return Edit4Limit; }
    TInputFormat InputFormat() const;

    // Script playback. The side button plays a *.cpo file to port 1: the
    // player reads the whole file into lines of its own (nothing else
    // changes them while it plays; a long line stays one line), switches the
    // box to Auto and plays the lines in order: command lines through Prikaz,
    // data lines character by character through the box's key and change
    // handling. An error from a command line ends the script; an error in
    // the change handling is shown and the script goes on. A delay waits in
    // the event loop until Timer5's tick finds the delay's own deadline
    // passed, so the window stays usable; a second script started meanwhile
    // plays completely before the first goes on, and no wait cuts another
    // short. A delay of 0 ms does not wait. Before a data character or a
    // line-end byte the player waits, in the event loop, until port 1's
    // output queue has room, so no byte is refused for a queue momentarily
    // full. Should the application quit during a wait, the script ends
    // silently.
    //
    // Between characters the player lets the window answer the user about
    // every 15 ms (it serves the pending events, as a delay does), so a long
    // data line never holds the window; meanwhile the side button starts no
    // script. Every byte still goes out in the script's order. While a
    // script plays the window title names it and its line: " Kalvaro —
    // test.cpo, line 120 of 4 000" (a running log follows it); the script
    // leaves the title when it ends.
    void Edit4ButtonClick();
    // Plays the script at path as the side button does once its dialog has
    // chosen it. Raises "Cannot open file" and "Text exceeds memo capacity"
    // before anything plays.
    void PlayScript(const QString& path);
    // Stops the scripts playing (Esc in the input box, its menu's "Stop
    // script"): the character being sent is the last; nothing more of any
    // of them is sent, a delay or a wait for room ends at once, a script
    // waiting below another stops too, and the box is emptied when the last
    // of them has ended. Does nothing when no script plays.
    void StopScript();
    bool ScriptPlaying() const { return !Playbacks.empty(); }
    // Runs one command line; raises the conversion error of a bad delay and
    // port 1's write error.
    void Prikaz(const std::string& line);
    // Set by Timer5's tick, cleared when a delay begins.
    bool DelayDone = false;
    QFileDialog* OpenDialog1;  // "Open file .." for the script played; starts at LoadPath, LoadFile

private:
    class TInputBoxKeys;
    struct TDelayWait;
    struct TPlayback;

    // The input box's own event filter (TInputBoxKeys); no drops.
    void WatchInputBox();
    // The script file dialog, Timer5's precision and port 1's room wake-up.
    void CreatePlayback();
    // The user's ways into the box (TInputBoxKeys); true when the event has
    // been dealt with.
    bool InputBoxEvent(QEvent* event);
    bool InputBoxKey(const QKeyEvent& key);
    void TypeCharacter(QChar character);
    void PasteWithinLimit(int clipboardMode);
    void InsertWithinLimit(const QString& text);
    void FormatSetUp();
    std::string BoxBytes() const;
    std::uint8_t BoxValue(TInputFormat format, const std::string& group) const;
    void SendFromBox(bool enterMode);
    // Echoes (when asked) and sends one byte, after waiting for room.
    void SendToPort1(std::uint8_t byte, bool echo);
    bool OutputQueueFull();
    // Serves the event loop until port 1's output queue has room or the port
    // is closed.
    void WaitForOutputRoom();

    void PlayDataLine(const std::string& line);
    std::size_t AppendQuietRun(const std::string& line, std::size_t from);
    void Delay(std::int32_t milliseconds);
    void ArmDelayTimer();
    // Lets the window answer once the player's slice has run out; raises
    // EAbort when the scripts have been stopped meanwhile.
    void YieldWhenDue();
    // The window title: " Kalvaro", then the innermost script playing and
    // its line, then the log running.
    void ShowTitle();
    // The command line's port, opened as a pick in its chooser; raises the
    // open's error.
    void OpenAtStart(int port, const TPortStart& start);
    // Plays the command line's script when port 1 is open, once.
    void PlayPendingScript();
    // The command line's script, until port 1 is open.
    QString PendingScript;
    // The input box's context menu: the box's own entries and "Stop script".
    void ShowInputBoxMenu(const QPoint& at);

    int Edit4Limit = 1;
    // The box waits for room to send a byte.
    bool SendWaiting = false;
    std::vector<QEventLoop*> RoomWaits;   // innermost last
    std::vector<TDelayWait*> DelayWaits;  // innermost last
    std::vector<TPlayback*> Playbacks;    // innermost last
    // Set by StopScript until the outermost script has ended.
    bool StopRequested = false;
    // The player serves the event loop between two characters.
    bool PlayerYielding = false;
    // When the player next lets the window answer.
    QDeadlineTimer SliceEnd;

signals:
    void Closed();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What a port panel is made of; the handlers of both panels share it.
    struct TPortRoles {
        TAfComPort* Port;
        QLabel* Title;
        QLabel* Summary;
        QPushButton* Off;
        QLabel* Chip;
        TColorComboBox* Colour;
        QFrame* Panel;
        std::array<QComboBox*, 5> Boxes;  // baud rate, parity, data bits, stop bits, flow control
    };
    enum TLineSetting { lsBaudRate, lsParity, lsDatabits, lsStopbits, lsFlowControl };

    // Layout (Unit1Layout.cpp).
    void CreateComponents();
    void CreateMenu();
    void CreatePortPanels(QWidget* client);
    void CreateViewRegions(QWidget* client);
    void CreateInputRow(QWidget* client);
    void CreateSettingsPanels(QWidget* client);
    // The window's handler table (Unit1Wiring.cpp).
    void WireHandlers();

    // Port panels and lamps (Unit1Ports.cpp).
    TPortRoles Roles(int port) const;
    void TogglePanel(int port);
    void HidePanel(QFrame* panel);
    void FillBoxes(const TPortRoles& roles);
    void ApplySetting(int port, TLineSetting setting);
    void ApplyTypedBaudRate(int port);
    void SwitchOff(int port);
    void ShowSummary(int port);
    void RefreshPort(const TPortRoles& roles);
    void PaintLineLamp(QFrame* lamp, TAfComPort* port, int line);
    void RingDetected(QFrame* lamp);

    // The port chooser of a panel, bound to port.
    TAfPortComboBox* CreatePortChooser(QWidget* parent, const char* name, TAfComPort* port);
    // DeviceWatch, given to both ports and both choosers, unless switched off.
    void WatchDevices();

    void ReadSettings();

    // Receive display (Unit1Display.cpp).
    void CreateDialogs();
    // The ports' receive watchers and Timer1's wake-up of sleeping polling.
    void WatchReceiving();
    // One take: what both ports hold, read with arrival times, logged,
    // shown in arrival order and counted; then the rhythm of the next take.
    struct TTakenBytes {
        bool Open = false;
        std::string Bytes;
        afp::TArrivalChunks Chunks;
    };
    void TakeReceived();
    // A take with its counts and its drawing: ReceiveFrame's, or a woken
    // take's when it runs at once.
    void TakeFrame();
    void ShowTaken(const TTakenBytes (&taken)[2]);
    void RhythmAfterTake(const TTakenBytes (&taken)[2]);
    // The upper view's text for one run of a port's bytes, stamped.
    // Returns the count, as RenderPort1 or RenderPort2 counts.
    std::int32_t ShowStamped(int port, std::string_view bytes, const afp::TArrivalChunks& chunks,
                             const TViewRules& rules);

    // Time stamps and the log (Unit1Session.cpp).
    void CreateSessionActions();
    void CreateFind();
    TMonitorView* FindView = nullptr;  // Ctrl+F's view; null: the upper view
    void ApplySession();
    void StartLog(const QString& path);
    void StopLog();
    void LogFailed(std::uint64_t generation, const std::string& message);
    void ShowLogState();
    // Hands the log the time before which both ports have been read empty.
    void MarkLogComplete();
    TStamper UpperStamper{TSessionOptions{}.StampGapMs};
    TStamper LowerStamper{TSessionOptions{}.StampGapMs};
    TClockText StampClock;
    std::unique_ptr<TSessionLog> Log;
    std::uint64_t LogGeneration = 0;  // counts logs started, so a late failure of an old one is ignored
    // Per port: a time before which everything it received has been read.
    afp::TArrivalTime LogReadBefore[2] = {0, 0};
    // Keeps the newest lines of a view in sight: line n - 6 at the top.
    static void ScrollToNewest(TMonitorView* view);
    void SetAplyEnabled(QCheckBox* box, bool enabled);
    // Takes sleep once one finds nothing; a port's receive events and the
    // status refresh wake them: the take runs at once when the last one is a
    // frame old (a millisecond later while the other port receives too),
    // else when the frame is over.
    void WakePolling(int port);
    QTimer* ReceiveFrame = nullptr;  // single-shot: the next take of a trickling line
    QElapsedTimer LastTake;          // since the latest take
    QElapsedTimer BytesTaken[2];     // since the latest take that found bytes on each port
    // Set while a port's takes sleep; the port's event thread clears it and
    // posts the wake-up.
    std::atomic<bool> PollingAsleep[2] = {false, false};
    // The count fields follow their counters at most once per frame: a flood
    // changes them a thousand times a second, faster than anyone reads. A
    // count that moves after a frame without a change is shown at once.
    void ShowCountSoon(QLineEdit* field);
    // At once when the fields were last written a frame ago, else when that
    // frame is over.
    void ShowCountsWithinFrame();
    void ShowCounts();
    QTimer* CountsTimer = nullptr;               // single-shot: the end of the frame in which the fields were written
    QElapsedTimer CountsShown;                   // since the fields were last written; invalid before
    bool CountStale[3] = {false, false, false};  // Edit2, Edit7, Edit3

    // Guarded: main() destroys the companions before this window.
    QPointer<TForm3> About;
    QPointer<TEditor> Editor;
    QPointer<TForm2> UserButton;
    TModalRunner ModalRunner;

    // The program's window that had the focus last, null while another
    // program has it: an activation counts only when it comes from another
    // window of ours (or is the first).
    QPointer<QWindow> FocusWindow;
    bool IsCompanion(const QWindow* window) const;
    bool EverActivated = false;
};
