// The script editor's window: its controls and their handler table, the marker
// buttons, the delay panel, the user button and the window's own events. Files
// are handled in EditorFiles.cpp, printing in EditorPrint.cpp.
#include "editor/editor1.h"

#include "editor/EditorText.h"
#include "editor/Unit2.h"
#include "text/CodePages.h"
#include "text/ScriptFormat.h"
#include "ui/AfApplicationError.h"
#include "ui/HandlerTable.h"
#include "widgets/EditorPictures.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFocusEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTextCursor>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

constexpr int MarkerButtonWidth = 49;
constexpr int MarkerButtonHeight = 22;
constexpr int MarkerRowLeft = 8;
constexpr int MarkerRowTop = 35;
constexpr int ToolBarHeight = 29;

// A marker's bytes as the characters the text area shows.
QString MarkerText(std::string_view bytes) {
    const std::u16string text = BytesToUnicode(TCodePage::Cp1250, bytes);
    return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

// A field's text as the bytes a marker carries.
std::string MarkerBytes(const QString& text) {
    std::optional<std::string> bytes = UnicodeToBytes(TCodePage::Cp1250, text.toStdU16String());
    if (!bytes) throw std::runtime_error("Cannot insert characters outside the Central European character set");
    return std::move(*bytes);
}

}  // namespace

TEditor::TEditor(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Editor");
    setWindowTitle("New");
    setFont(QFont("MS Sans Serif", 8));

    auto* client = new QWidget(this);
    client->setObjectName("Client");
    setCentralWidget(client);

    CreateToolBar(client);
    CreateMarkerButtons(client);
    CreateDelayPanel(client);

    Memo1 = new TScriptMemo(client);
    Memo1->setObjectName("Memo1");
    QFont courier("Courier New");
    courier.setPixelSize(13);
    courier.setStyleHint(QFont::TypeWriter);
    Memo1->setFont(courier);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->move(8, 64);
    Memo1->installEventFilter(this);
    connect(Memo1, &QPlainTextEdit::textChanged, this, [this] {
        if (!Emptying) TextChanged = true;
    });

    CreateMenu();
    CreateDialogs();
    WireHandlers();

    setGeometry(226, 135, 540, 405);
    FormResize();
}

TEditor::~TEditor() {
    // The print dialog refers to the printer; it goes first.
    delete PrintDialog;
    PrintDialog = nullptr;
}

void TEditor::CreateToolBar(QWidget* client) {
    ToolBar1 = new QToolBar(client);
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->setGeometry(0, 0, 540, ToolBarHeight);

    const auto button = [this](const char* name, const QIcon& picture) {
        auto* tool = new QToolButton(ToolBar1);
        tool->setObjectName(name);
        tool->setIcon(picture);
        tool->setAutoRaise(true);
        tool->setFixedSize(23, 22);
        tool->setFocusPolicy(Qt::NoFocus);
        ToolBar1->addWidget(tool);
        return tool;
    };
    ToolButton1 = button("ToolButton1", NewFilePicture());
    ToolButton2 = button("ToolButton2", OpenFilePicture());
    ToolButton3 = button("ToolButton3", SaveFilePicture());
    ToolButton4 = button("ToolButton4", PrintPicture());
    ToolBar1->addSeparator();
    ToolButton7 = button("ToolButton7", CopyPicture());
    ToolButton8 = button("ToolButton8", PastePicture());
}

void TEditor::CreateMarkerButtons(QWidget* client) {
    int slot = 0;
    const auto button = [&](const char* name, const QString& face, const QString& hint) {
        auto* marker = new QToolButton(client);
        marker->setObjectName(name);
        marker->setText(face);
        marker->setToolTip(hint);
        marker->setAutoRaise(true);
        marker->setToolButtonStyle(Qt::ToolButtonTextOnly);
        marker->setFocusPolicy(Qt::NoFocus);
        marker->setGeometry(MarkerRowLeft + slot * MarkerButtonWidth, MarkerRowTop, MarkerButtonWidth,
                            MarkerButtonHeight);
        ++slot;
        return marker;
    };
    SpeedButton1 = button("SpeedButton1", "ASCII", "Check ASCII input");
    SpeedButton2 = button("SpeedButton2", "HEX", "Check HEX input");
    SpeedButton3 = button("SpeedButton3", "DEC", "Check DEC input");
    SpeedButton5 = button("SpeedButton5", "LF", "Send LF");
    SpeedButton6 = button("SpeedButton6", "CR", "Send CR");
    SpeedButton7 = button("SpeedButton7", QString(), QString());
    SpeedButton4 = button("SpeedButton4", "Delay", "Delay time");

    // The line-end switches: the LF and CR buttons' drop-down parts. Their
    // lines are skipped by the player.
    const auto entry = [](QMenu* menu, const char* name, const QString& face) {
        QAction* action = menu->addAction(face);
        action->setObjectName(name);
        return action;
    };
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    LfOn1 = entry(PopupMenu1, "LfOn1", "ON");
    LfOff1 = entry(PopupMenu1, "LfOff1", "OFF");
    PopupMenu2 = new QMenu(this);
    PopupMenu2->setObjectName("PopupMenu2");
    CrOn1 = entry(PopupMenu2, "CrOn1", "ON");
    CrOff1 = entry(PopupMenu2, "CrOff1", "OFF");
    for (auto [lineEnd, menu] : {std::pair{SpeedButton5, PopupMenu1}, std::pair{SpeedButton6, PopupMenu2}}) {
        lineEnd->setMenu(menu);
        lineEnd->setPopupMode(QToolButton::MenuButtonPopup);
    }
}

void TEditor::CreateDelayPanel(QWidget* client) {
    Panel1 = new QFrame(client);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(MarkerRowLeft + 7 * MarkerButtonWidth + 8, MarkerRowTop - 4, 136, 30);

    Edit1 = new QLineEdit("100", Panel1);
    Edit1->setObjectName("Edit1");
    Edit1->setGeometry(6, 4, 49, 21);

    Label1 = new QLabel("ms", Panel1);
    Label1->setObjectName("Label1");
    Label1->setGeometry(60, 4, 20, 21);

    Button1 = new QPushButton("OK", Panel1);
    Button1->setObjectName("Button1");
    Button1->setGeometry(86, 3, 44, 23);
    Button1->setAutoDefault(false);

    Panel1->hide();
}

void TEditor::CreateMenu() {
    const auto item = [](QMenu* menu, const char* name, const QString& face) {
        QAction* action = menu->addAction(face);
        action->setObjectName(name);
        return action;
    };
    File1 = menuBar()->addMenu("&File");
    File1->setObjectName("File1");
    New1 = item(File1, "New1", "&New");
    Open1 = item(File1, "Open1", "&Open");
    Save1 = item(File1, "Save1", "&Save");
    SaveAs1 = item(File1, "SaveAs1", "Save &As");
    Print1 = item(File1, "Print1", "&Print");
    Exit1 = item(File1, "Exit1", "&Exit");  // has no action
    Userbutton1 = menuBar()->addAction("&User button");
    Userbutton1->setObjectName("Userbutton1");
}

void TEditor::WireHandlers() {
    const std::initializer_list<THandlerRow<TEditor>> table = {
        // The toolbar.
        {ToolButton1, &QToolButton::clicked, &TEditor::New1Click},
        {ToolButton2, &QToolButton::clicked, &TEditor::Open1Click},
        {ToolButton3, &QToolButton::clicked, &TEditor::Save1Click},
        {ToolButton4, &QToolButton::clicked, &TEditor::Print1Click},
        {ToolButton7, &QToolButton::clicked, &TEditor::ToolButton7Click},
        {ToolButton8, &QToolButton::clicked, &TEditor::ToolButton8Click},

        // The marker buttons, and the line-end switches of LF and CR.
        {SpeedButton1, &QToolButton::clicked, &TEditor::SpeedButton1Click},
        {SpeedButton2, &QToolButton::clicked, &TEditor::SpeedButton2Click},
        {SpeedButton3, &QToolButton::clicked, &TEditor::SpeedButton3Click},
        {SpeedButton5, &QToolButton::clicked, &TEditor::SpeedButton5Click},
        {SpeedButton6, &QToolButton::clicked, &TEditor::SpeedButton6Click},
        {SpeedButton7, &QToolButton::clicked, &TEditor::SpeedButton7Click},
        {SpeedButton4, &QToolButton::clicked, &TEditor::SpeedButton4Click},
        {LfOn1, &QAction::triggered, [this] { MyAdd(MarkerText(MarkerLfOn)); }},
        {LfOff1, &QAction::triggered, [this] { MyAdd(MarkerText(MarkerLfOff)); }},
        {CrOn1, &QAction::triggered, [this] { MyAdd(MarkerText(MarkerCrOn)); }},
        {CrOff1, &QAction::triggered, [this] { MyAdd(MarkerText(MarkerCrOff)); }},

        // The delay panel.
        {Button1, &QPushButton::clicked, &TEditor::Button1Click},

        // The menu.
        {New1, &QAction::triggered, &TEditor::New1Click},
        {Open1, &QAction::triggered, &TEditor::Open1Click},
        {Save1, &QAction::triggered, &TEditor::Save1Click},
        {SaveAs1, &QAction::triggered, &TEditor::SaveAs1Click},
        {Print1, &QAction::triggered, &TEditor::Print1Click},
        {Userbutton1, &QAction::triggered, &TEditor::Userbutton1Click},
    };
    ConnectHandlers(this, table);
}

void TEditor::CreateDialogs() {
    // Qt's own dialogs: they keep their folder and file name between uses,
    // and the seams can read and answer them.
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    // A name typed for a file that does not exist is taken, as the classic
    // open dialog does; loading it then reports "Cannot open file".
    OpenDialog1->setFileMode(QFileDialog::AnyFile);
    OpenDialog1->setNameFilter("Com Port Output (*.cpo)");

    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName("SaveDialog1");
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setNameFilter("Com Port Output (*.cpo)");
    SaveDialog1->setDefaultSuffix("cpo");

    SaveQuestion = new QMessageBox(this);
    SaveQuestion->setObjectName("SaveQuestion");
    SaveQuestion->setIcon(QMessageBox::Question);
    SaveQuestion->setWindowTitle("Confirm");
    SaveQuestion->setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    SaveQuestion->setDefaultButton(QMessageBox::Yes);

    ZeroByteWarning = new QMessageBox(this);
    ZeroByteWarning->setObjectName("ZeroByteWarning");
    ZeroByteWarning->setIcon(QMessageBox::Warning);
    ZeroByteWarning->setWindowTitle("Warning");
    ZeroByteWarning->setStandardButtons(QMessageBox::Ok);
}

QPrintDialog* TEditor::PrintDialog1() {
    if (!PrintDialog) {
        Printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        PrintDialog = new QPrintDialog(Printer.get(), this);
        PrintDialog->setObjectName("PrintDialog1");
    }
    return PrintDialog;
}

void TEditor::SetPathFields(QString* editPath, QString* editFile) {
    EditPathField = editPath ? editPath : &OwnEditPath;
    EditFileField = editFile ? editFile : &OwnEditFile;
}

void TEditor::SetUserButtonDialog(TForm2* userButton) {
    UserButton = userButton;
    RefreshUserButton();
}

void TEditor::MyAdd(const QString& marker) {
    Panel1->hide();
    if (!FitsScriptCodePage(marker))
        throw std::runtime_error("Cannot insert characters outside the Central European character set");
    QTextCursor cursor = Memo1->textCursor();
    // A selection goes with the first insertion, so the column that counts is
    // the one where the selection starts. Lines are the text's own lines, not
    // the pieces the area wraps or splits them into: a marker must start a
    // file line.
    QTextCursor start(Memo1->document());
    start.setPosition(cursor.selectionStart());
    cursor.insertText(MarkerInsertion(Memo1->LineColumn(start), marker));
    Memo1->setTextCursor(cursor);
    Memo1->ensureCursorVisible();
}

void TEditor::ToolButton7Click() { Memo1->copy(); }
void TEditor::ToolButton8Click() { Memo1->paste(); }

void TEditor::SpeedButton1Click() { MyAdd(MarkerText(MarkerAscii)); }
void TEditor::SpeedButton2Click() { MyAdd(MarkerText(MarkerHex)); }
void TEditor::SpeedButton3Click() { MyAdd(MarkerText(MarkerDec)); }
void TEditor::SpeedButton5Click() { MyAdd(MarkerText(MarkerLF)); }
void TEditor::SpeedButton6Click() { MyAdd(MarkerText(MarkerCR)); }

void TEditor::SpeedButton7Click() {
    if (!UserButton) {
        Panel1->hide();
        return;
    }
    MyAdd(MarkerText(UserDefLine(MarkerBytes(UserButton->UserOut()))));
}

void TEditor::SpeedButton4Click() { Panel1->show(); }

void TEditor::Button1Click() { MyAdd(MarkerText(DelayLine(MarkerBytes(Edit1->text())))); }

void TEditor::Userbutton1Click() {
    if (!UserButton) return;
    if (DialogSeams.RunUserButton)
        DialogSeams.RunUserButton(*UserButton);
    else
        UserButton->exec();
    RefreshUserButton();
}

void TEditor::RefreshUserButton() {
    if (!UserButton) return;
    SpeedButton7->setText(UserButton->UserCaption());
    SpeedButton7->setToolTip(UserButton->UserHint());
}

void TEditor::FormActivate() { RefreshUserButton(); }

void TEditor::FormResize() {
    const QSize outer = frameGeometry().size();
    Memo1->resize(std::max(0, outer.width() - 27), std::max(0, outer.height() - 146));
    ToolBar1->resize(centralWidget()->width(), ToolBarHeight);
}

bool TEditor::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) AfGuarded(this, &TEditor::FormActivate)();
    return QMainWindow::event(event);
}

void TEditor::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    AfGuarded(this, &TEditor::FormResize)();
}

void TEditor::closeEvent(QCloseEvent* event) {
    // Closing only hides the window; the text waits for the next time.
    event->accept();
}

bool TEditor::eventFilter(QObject* watched, QEvent* event) {
    // The text area taking the focus from another control hides the delay
    // panel; the window coming back to the front, or a closed menu handing
    // the focus back, is not the user turning to the text.
    if (watched == Memo1 && event->type() == QEvent::FocusIn) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) Panel1->hide();
    }
    return QMainWindow::eventFilter(watched, event);
}
