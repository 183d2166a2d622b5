#pragma once
// TEditor: the script editor window. A small text editor for script files
// (*.cpo): the user types data lines and inserts marker lines with a row of
// buttons; files are made, opened, saved, saved under a new name and printed
// from a toolbar and the "&File" menu.
//
// Owns: every control of the window, its open and save dialogs (reused for the
// whole run, so the save dialog keeps the name it held last), its print
// dialog and printer (made at the first print, then kept), its save question
// and zero-byte warning boxes, and the dialog seams. It does not own the
// user-defined button dialog (TForm2) nor the two path fields; both are
// handed over after creation and must outlive the editor (the program
// creates the main window first and the editor before the dialog, and
// destroys them in reverse).
//
// The current file: the window caption is "New" while the text has no file;
// otherwise it is the full path that Save writes. TextChanged is false at
// start, set by every change of the text (typing, pasting, a marker, loading a
// file) except New's emptying, and never reset — not even by saving.
//
// Files are bytes in code page 1250 (EditorText.h): loading shows them
// through the code page, with CR LF, lone CR and lone LF as line breaks and
// the text ending at a zero byte; saving writes every line's bytes joined
// with CR LF and adds no line break at the end. A very long line shows in
// pieces and saves as one line (ScriptMemo.h). A file with a zero byte is
// shown up to it with a warning, as a new text: the caption stays "New", so
// that the part shown is never saved over the whole file unasked. The text
// area never holds a character the code page lacks (ScriptMemo.h), so saving
// never alters one.
//
// Geometry: the window's 540 x 405 (at 226, 135) is its client size with the
// menu bar; the controls are placed in pixels of the central widget. On every
// resize the text area becomes the window's outer width - 27 by outer height
// - 146 pixels; "outer" is the frame geometry where the window system reports
// a frame and the client size where it does not (offscreen, before the
// first show).
//
// Closing the window only hides it and never asks anything; text, caption and
// TextChanged stay for the next time.
//
// Errors: handlers raise and AfGuard (ui/AfApplicationError.h) shows the
// box: EFOpenError "Cannot open file <path>", EFCreateError "Cannot create
// file <path>", "Text exceeds memo capacity" for a file longer than
// TScriptMemo::MemoCapacity characters, a refusal for a marker holding a
// character outside code page 1250, and "Cannot start printing" when the
// printer refuses the job. A failed Open has already set the path fields and
// run its New step; the caption stays. A failed save leaves the caption.
//
// Test seam: every modal dialog runs through Dialogs(); an empty function
// means the dialog's own exec(). The seam gets the dialog as the editor set it
// up (title, folder, file name) and answers it without blocking.
//
// GUI thread only.

#include "editor/ScriptMemo.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QDialog;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPrintDialog;
class QPrinter;
class QPushButton;
class QToolBar;
class QToolButton;
class TForm2;

// How the editor runs its modal dialogs. Each function gets the dialog ready
// to show and returns what exec() would: QDialog::Accepted or Rejected for
// the dialogs, the QMessageBox::StandardButton pressed for the question.
struct TEditorDialogs {
    std::function<int(QFileDialog&)> RunOpen;
    std::function<int(QFileDialog&)> RunSave;
    std::function<int(QPrintDialog&)> RunPrint;
    std::function<int(QMessageBox&)> AskSave;
    std::function<int(QDialog&)> RunUserButton;
    std::function<int(QMessageBox&)> Warn;
};

class TEditor : public QMainWindow {
    Q_OBJECT

public:
    explicit TEditor(QWidget* parent = nullptr);
    ~TEditor() override;

    // The folder and file name of the script last opened or saved here: the
    // main window's EditPath and EditFile. Until handed over the editor keeps
    // its own pair.
    void SetPathFields(QString* editPath, QString* editFile);
    // The dialog holding the user button's caption, hint and value; the
    // button is refreshed from it at once.
    void SetUserButtonDialog(TForm2* userButton);

    TEditorDialogs& Dialogs() { return DialogSeams; }

    // ---- state ----
    bool TextChanged = false;

    // ---- controls ----
    TScriptMemo* Memo1;  // the text area: the script being edited, in code page 1250
    QToolBar* ToolBar1;  // New, Open, Save, Print, Copy, Paste
    QToolButton* ToolButton1;  // toolbar New: as "&New"
    QToolButton* ToolButton2;  // toolbar Open: as "&Open"
    QToolButton* ToolButton3;  // toolbar Save: as "&Save"
    QToolButton* ToolButton4;  // toolbar Print: as "&Print"
    QToolButton* ToolButton7;  // toolbar Copy: the text area's selection to the clipboard
    QToolButton* ToolButton8;  // toolbar Paste: the clipboard's text at the caret
    QToolButton* SpeedButton1;  // marker button "ASCII": inserts %%ASCII%%
    QToolButton* SpeedButton2;  // marker button "HEX": inserts %%HEX%%
    QToolButton* SpeedButton3;  // marker button "DEC": inserts %%DEC%%
    QToolButton* SpeedButton5;  // marker button "LF": inserts %%LF%%; PopupMenu1 is its drop-down
    QToolButton* SpeedButton6;  // marker button "CR": inserts %%CR%%; PopupMenu2 is its drop-down
    QToolButton* SpeedButton7;  // user button: face and hint from TForm2; inserts %%USER_DEF xx%%
    QToolButton* SpeedButton4;  // "Delay": shows the delay panel Panel1
    QMenu* PopupMenu1;  // "ON", "OFF": %%LF ON%%, %%LF OFF%%
    QMenu* PopupMenu2;  // "ON", "OFF": %%CR ON%%, %%CR OFF%%
    QAction* LfOn1;  // "ON" of PopupMenu1: inserts %%LF ON%%
    QAction* LfOff1;  // "OFF" of PopupMenu1: inserts %%LF OFF%%
    QAction* CrOn1;  // "ON" of PopupMenu2: inserts %%CR ON%%
    QAction* CrOff1;  // "OFF" of PopupMenu2: inserts %%CR OFF%%
    QFrame* Panel1;  // delay panel: Edit1, "ms", Button1; hidden at start and by every insertion
    QLineEdit* Edit1;  // the delay in milliseconds, "100" at start; kept between uses, not checked
    QLabel* Label1;  // "ms" after Edit1
    QPushButton* Button1;  // "OK" of the delay panel: inserts %%DELAY n%% with Edit1's text
    QMenu* File1;  // the "&File" menu
    QAction* New1;  // "&New": empties the text, after the save question when it changed
    QAction* Open1;  // "&Open": loads a script (*.cpo) and names the window after it
    QAction* Save1;  // "&Save": writes the file the caption names, or asks for one
    QAction* SaveAs1;  // "Save &As": writes the text under a name chosen in SaveDialog1
    QAction* Print1;  // "&Print": prints the text as the area shows it
    QAction* Exit1;  // "&Exit": has no action
    QAction* Userbutton1;  // "&User button": shows TForm2 modally, then refreshes SpeedButton7
    QFileDialog* OpenDialog1;  // "Open file .." for scripts; starts at EditPath, EditFile
    QFileDialog* SaveDialog1;  // "Save file as.." for scripts; keeps the name it held last
    // Made at the first print, then kept.
    QPrintDialog* PrintDialog1();

    // ---- handlers ----
    // Inserts one marker line at the caret (replacing a selection) and hides
    // the delay panel.
    void MyAdd(const QString& marker);
    // The save question; returns QMessageBox::Yes, No or Cancel.
    int MyDialog();
    void New1Click();
    void Open1Click();
    void Save1Click();
    void SaveAs1Click();
    void Print1Click();
    void ToolButton7Click();
    void ToolButton8Click();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton5Click();
    void SpeedButton6Click();
    void SpeedButton7Click();
    void SpeedButton4Click();
    void Button1Click();
    void Userbutton1Click();
    void FormActivate();
    void FormResize();
    // The user button's caption and hint from the dialog.
    void RefreshUserButton();

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateToolBar(QWidget* client);
    void CreateMarkerButtons(QWidget* client);
    void CreateDelayPanel(QWidget* client);
    void CreateMenu();
    void CreateDialogs();
    // The window's handler table.
    void WireHandlers();

    // Writes the text to path (EditorFiles.cpp).
    void WriteTo(const QString& path);
    // Runs the save dialog; on a choice writes the file there (".cpo" added
    // to a bare name) and names the window after it.
    void SaveThroughDialog();
    // Tells that a file opened only up to its zero byte, as a new text.
    void WarnZeroByte(const QString& path);
    // Adopts a file chosen in a dialog as EditPath and EditFile.
    void RememberPath(const QString& path);
    int RunModal(const std::function<int(QFileDialog&)>& seam, QFileDialog& dialog);
    QString& EditPath() { return *EditPathField; }
    QString& EditFile() { return *EditFileField; }

    TEditorDialogs DialogSeams;
    QPointer<TForm2> UserButton;
    QString OwnEditPath;
    QString OwnEditFile;
    QString* EditPathField = &OwnEditPath;
    QString* EditFileField = &OwnEditFile;
    QMessageBox* SaveQuestion;  // "Save changes in file ..." with Yes, No, Cancel (MyDialog)
    QMessageBox* ZeroByteWarning;  // a file was shown only up to its zero byte, as a new text
    std::unique_ptr<QPrinter> Printer;  // made with the print dialog at the first print
    QPrintDialog* PrintDialog = nullptr;  // PrintDialog1's dialog; null until the first print
    // Set while New empties the text, which is not a change of it.
    bool Emptying = false;
};
