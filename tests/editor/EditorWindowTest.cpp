// The script editor window: its layout, the marker buttons, the line-end
// menus, the delay panel, the user button, closing, and a file it cannot
// show whole.
#include "tests/editor/EditorFixture.h"
#include "widgets/LimitedEdit.h"

#include <QAction>
#include <QClipboard>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

namespace {

using namespace kalvaro::test;

void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

QStringList MenuTexts(const QList<QAction*>& actions) {
    QStringList texts;
    for (const QAction* action : actions)
        if (!action->isSeparator()) texts << action->text();
    return texts;
}

TEST_F(EditorTest, LaysOutTheWindowAsDesigned) {
    TEditor& editor = Editor();
    EXPECT_EQ(editor.windowTitle(), "New");
    EXPECT_EQ(editor.geometry(), QRect(226, 135, 540, 405));
    EXPECT_FALSE(editor.TextChanged);

    const QList<QToolButton*> tools{editor.ToolButton1, editor.ToolButton2, editor.ToolButton3,
                                    editor.ToolButton4, editor.ToolButton7, editor.ToolButton8};
    const QStringList toolNames{"ToolButton1", "ToolButton2", "ToolButton3", "ToolButton4", "ToolButton7", "ToolButton8"};
    for (int i = 0; i < tools.size(); ++i) {
        SCOPED_TRACE(toolNames[i].toStdString());
        EXPECT_EQ(tools[i]->objectName(), toolNames[i]);
        EXPECT_EQ(tools[i]->parentWidget(), editor.ToolBar1);
        EXPECT_FALSE(tools[i]->icon().isNull());
        EXPECT_TRUE(tools[i]->text().isEmpty());
        EXPECT_TRUE(tools[i]->toolTip().isEmpty());
        if (i > 0) {
            EXPECT_LT(tools[i - 1]->x(), tools[i]->x());
        }
    }

    // Flat buttons in one row under the toolbar, left to right.
    const QList<QToolButton*> markers{editor.SpeedButton1, editor.SpeedButton2, editor.SpeedButton3, editor.SpeedButton5,
                                      editor.SpeedButton6, editor.SpeedButton7, editor.SpeedButton4};
    const QStringList faces{"ASCII", "HEX", "DEC", "LF", "CR", "User", "Delay"};
    const QStringList hints{"Check ASCII input", "Check HEX input", "Check DEC input", "Send LF", "Send CR",
                            "User defined value", "Delay time"};
    for (int i = 0; i < markers.size(); ++i) {
        SCOPED_TRACE(faces[i].toStdString());
        EXPECT_EQ(markers[i]->text(), faces[i]);
        EXPECT_EQ(markers[i]->toolTip(), hints[i]);
        EXPECT_TRUE(markers[i]->autoRaise());
        EXPECT_EQ(markers[i]->size(), QSize(49, 22));
        EXPECT_EQ(markers[i]->y(), markers[0]->y());
        EXPECT_GE(markers[i]->y(), editor.ToolBar1->geometry().bottom());
        if (i > 0) {
            EXPECT_EQ(markers[i]->x(), markers[i - 1]->x() + 49);
        }
    }
    EXPECT_FALSE(editor.Panel1->isVisible());
    EXPECT_GE(editor.Panel1->x(), editor.SpeedButton4->geometry().right());
    EXPECT_EQ(editor.Edit1->text(), "100");
    EXPECT_EQ(editor.Button1->text(), "OK");
    EXPECT_EQ(editor.findChild<QLabel*>("Label1")->text(), "ms");

    EXPECT_EQ(editor.Memo1->pos(), QPoint(8, 64));
    EXPECT_EQ(editor.Memo1->font().family(), "Courier New");
    EXPECT_EQ(editor.Memo1->font().pixelSize(), 13);
    EXPECT_EQ(editor.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(editor.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(editor.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    const QList<QAction*> bar = editor.menuBar()->actions();
    EXPECT_EQ(MenuTexts(bar), QStringList({"&File", "&User button"}));
    EXPECT_EQ(bar[1]->menu(), nullptr) << "the user button item is a command of its own";
    EXPECT_EQ(MenuTexts(editor.File1->actions()),
              QStringList({"&New", "&Open", "&Save", "Save &As", "&Print", "&Exit"}));
}

TEST_F(EditorTest, TheTextAreaFollowsTheWindowsOuterSize) {
    TEditor& editor = Editor();
    editor.resize(700, 520);
    ASSERT_TRUE(PumpUntil([&] { return editor.frameGeometry().width() >= 700; }));
    const QSize outer = editor.frameGeometry().size();
    EXPECT_EQ(editor.Memo1->size(), QSize(outer.width() - 27, outer.height() - 146));
    editor.resize(400, 300);
    ASSERT_TRUE(PumpUntil([&] { return editor.width() == 400; }));
    EXPECT_EQ(editor.Memo1->size(), QSize(editor.frameGeometry().width() - 27, editor.frameGeometry().height() - 146));
}

TEST_F(EditorTest, MarkerButtonsInsertLinesAtTheCaret) {
    TEditor& editor = Editor();
    Type("5");
    Click(editor.SpeedButton2);
    EXPECT_EQ(Text(), "5\n%%HEX%%\n") << "a line break first when the caret is not at a line start";
    EXPECT_EQ(editor.Memo1->textCursor().blockNumber(), 2);
    EXPECT_EQ(editor.Memo1->textCursor().positionInBlock(), 0);

    Click(editor.SpeedButton6);
    EXPECT_EQ(Text(), "5\n%%HEX%%\n%%CR%%\n") << "at the start of an empty line: only the marker and a break";
    EXPECT_EQ(editor.Memo1->textCursor().blockNumber(), 3);
    EXPECT_EQ(editor.Memo1->textCursor().positionInBlock(), 0);

    Type("x");
    Click(editor.SpeedButton5);
    Click(editor.SpeedButton1);
    Click(editor.SpeedButton3);
    EXPECT_EQ(Text(), "5\n%%HEX%%\n%%CR%%\nx\n%%LF%%\n%%ASCII%%\n%%DEC%%\n");
    EXPECT_TRUE(editor.TextChanged);
}

TEST_F(EditorTest, AMarkerReplacesTheSelection) {
    TEditor& editor = Editor();
    Type("abcdef");
    QTextCursor cursor = editor.Memo1->textCursor();
    cursor.setPosition(2);
    cursor.setPosition(4, QTextCursor::KeepAnchor);
    editor.Memo1->setTextCursor(cursor);
    Click(editor.SpeedButton1);
    EXPECT_EQ(Text(), "ab\n%%ASCII%%\nef");
    EXPECT_EQ(editor.Memo1->textCursor().position(), Text().indexOf("ef"));

    // A selection that starts a line, selected backwards.
    cursor.setPosition(Text().size());
    cursor.setPosition(Text().indexOf("ef"), QTextCursor::KeepAnchor);
    editor.Memo1->setTextCursor(cursor);
    Click(editor.SpeedButton3);
    EXPECT_EQ(Text(), "ab\n%%ASCII%%\n%%DEC%%\n");
}

TEST_F(EditorTest, TheLineEndMenusInsertTheirSwitches) {
    TEditor& editor = Editor();
    EXPECT_EQ(editor.SpeedButton5->menu(), editor.PopupMenu1);
    EXPECT_EQ(editor.SpeedButton6->menu(), editor.PopupMenu2);
    EXPECT_EQ(editor.SpeedButton5->popupMode(), QToolButton::MenuButtonPopup);
    EXPECT_EQ(MenuTexts(editor.PopupMenu1->actions()), QStringList({"ON", "OFF"}));
    EXPECT_EQ(MenuTexts(editor.PopupMenu2->actions()), QStringList({"ON", "OFF"}));

    // The user opens the LF button's drop-down part and picks "OFF".
    bool picked = false;
    QTimer::singleShot(0, &editor, [&] {
        ASSERT_TRUE(PumpUntil([&] { return editor.PopupMenu1->isVisible(); }));
        const QRect entry = editor.PopupMenu1->actionGeometry(editor.LfOff1);
        QTest::mouseClick(editor.PopupMenu1, Qt::LeftButton, {}, entry.center());
        picked = true;
    });
    const QPoint arrow(editor.SpeedButton5->width() - 4, editor.SpeedButton5->height() / 2);
    QTest::mousePress(editor.SpeedButton5, Qt::LeftButton, {}, arrow);
    ASSERT_TRUE(PumpUntil([&] { return picked && !editor.PopupMenu1->isVisible(); }));
    QTest::mouseRelease(editor.SpeedButton5, Qt::LeftButton, {}, arrow);
    EXPECT_EQ(Text(), "%%LF OFF%%\n");

    Type("7");
    editor.LfOn1->trigger();
    editor.CrOn1->trigger();
    editor.CrOff1->trigger();
    EXPECT_EQ(Text(), "%%LF OFF%%\n7\n%%LF ON%%\n%%CR ON%%\n%%CR OFF%%\n");
}

TEST_F(EditorTest, TheDelayPanelInsertsTheDelayTyped) {
    TEditor& editor = Editor();
    Click(editor.SpeedButton4);
    ASSERT_TRUE(editor.Panel1->isVisible());
    editor.Edit1->setFocus();
    editor.Edit1->selectAll();
    QTest::keyClicks(editor.Edit1, "250");
    Click(editor.Button1);
    EXPECT_EQ(Text(), "%%DELAY 250%%\n");
    EXPECT_FALSE(editor.Panel1->isVisible());

    Click(editor.SpeedButton4);
    editor.Edit1->clear();
    Click(editor.Button1);
    EXPECT_EQ(Text(), "%%DELAY 250%%\n%%DELAY %%\n") << "the field is not checked";
    EXPECT_EQ(editor.Edit1->text(), "") << "the field keeps its text";
}

TEST_F(EditorTest, TheDelayPanelHidesOnMarkersAndWhenTheTextIsFocused) {
    TEditor& editor = Editor();
    for (QToolButton* marker : {editor.SpeedButton1, editor.SpeedButton5, editor.SpeedButton7}) {
        Click(editor.SpeedButton4);
        ASSERT_TRUE(editor.Panel1->isVisible());
        Click(marker);
        EXPECT_FALSE(editor.Panel1->isVisible()) << marker->objectName().toStdString();
    }

    Click(editor.SpeedButton4);
    editor.Edit1->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return editor.Edit1->hasFocus(); }));
    ASSERT_TRUE(editor.Panel1->isVisible());
    Click(editor.Memo1->viewport());
    EXPECT_TRUE(PumpUntil([&] { return !editor.Panel1->isVisible(); }));
}

TEST_F(EditorTest, TheUserButtonReadsTheDialogOnFirstStart) {
    TEditor& editor = Editor();
    EXPECT_EQ(editor.SpeedButton7->text(), "User");
    EXPECT_EQ(editor.SpeedButton7->toolTip(), "User defined value");
    Click(editor.SpeedButton7);
    EXPECT_EQ(Text(), "%%USER_DEF 00%%\n");

    // The value is read at every press.
    Windows->Form2.uout->setText("1B");
    Click(editor.SpeedButton7);
    EXPECT_EQ(Text(), "%%USER_DEF 00%%\n%%USER_DEF 1B%%\n");
}

TEST_F(EditorTest, TheUserButtonItemShowsTheDialogAndRefreshesTheButton) {
    TEditor& editor = Editor();
    TForm2& dialog = Windows->Form2;
    int shown = 0;
    editor.Dialogs().RunUserButton = [&](QDialog& modal) {
        ++shown;
        EXPECT_EQ(&modal, &dialog);
        modal.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&modal));
        dialog.Ucap->setFocus();
        dialog.Ucap->selectAll();
        QTest::keyClicks(dialog.Ucap, "Escape!!");
        dialog.Uhint->selectAll();
        QTest::keyClicks(dialog.Uhint, "Sends ESC");
        dialog.uout->selectAll();
        QTest::keyClicks(dialog.uout, "7F");
        Click(dialog.Button1);
        return modal.result();
    };
    editor.Userbutton1->trigger();
    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(editor.SpeedButton7->text(), "Escape!") << "seven characters at most are typed";
    EXPECT_EQ(editor.SpeedButton7->toolTip(), "Sends ESC");
    Click(editor.SpeedButton7);
    EXPECT_EQ(Text(), "%%USER_DEF 7F%%\n");
}

TEST_F(EditorTest, TheUserButtonIsRefreshedWhenTheWindowBecomesActive) {
    TEditor& editor = Editor();
    Windows->Form2.Ucap->setText("Bell");
    Windows->Form2.Uhint->setText("Sends BEL");
    EXPECT_EQ(editor.SpeedButton7->text(), "User") << "not before the window is activated";

    QWidget other;
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    other.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &other; }));
    editor.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &editor; }));
    EXPECT_EQ(editor.SpeedButton7->text(), "Bell");
    EXPECT_EQ(editor.SpeedButton7->toolTip(), "Sends BEL");
}

TEST_F(EditorTest, ClosingHidesTheWindowAndKeepsEverything) {
    TEditor& editor = Editor();
    Type("unsaved");
    EXPECT_TRUE(editor.close());
    EXPECT_FALSE(editor.isVisible());
    EXPECT_TRUE(Questions.isEmpty()) << "closing never asks";
    editor.show();
    EXPECT_EQ(Text(), "unsaved");
    EXPECT_EQ(editor.windowTitle(), "New");
    EXPECT_TRUE(editor.TextChanged);

    editor.Exit1->trigger();
    EXPECT_TRUE(editor.isVisible()) << "Exit does nothing";
    EXPECT_EQ(Text(), "unsaved");
}

TEST_F(EditorTest, CopyAndPasteGoThroughTheClipboard) {
    TEditor& editor = Editor();
    Type("abc");
    editor.Memo1->selectAll();
    Click(editor.ToolButton7);
    EXPECT_EQ(QApplication::clipboard()->text(), "abc");
    editor.Memo1->moveCursor(QTextCursor::End);
    QApplication::clipboard()->setText("1\r\n2\r3");
    Click(editor.ToolButton8);
    EXPECT_EQ(Text(), "abc1\n2\n3") << "pasted line breaks become the area's own";
}

// The area holds only characters a script file can hold.
TEST_F(EditorTest, CharactersOutsideTheCodePageAreRefused) {
    TEditor& editor = Editor();
    TErrorBoxes boxes;
    Type(QString::fromUtf8("Žluťoučký kůň"));
    EXPECT_EQ(Text(), QString::fromUtf8("Žluťoučký kůň")) << "Central European letters are welcome";

    Type(QString::fromUtf8("ñ→"));
    EXPECT_EQ(Text(), QString::fromUtf8("Žluťoučký kůň")) << "typed characters outside the page are dropped";
    EXPECT_TRUE(boxes.Texts.isEmpty());

    QApplication::clipboard()->setText(QString::fromUtf8(" año"));
    Click(editor.ToolButton8);
    EXPECT_EQ(Text(), QString::fromUtf8("Žluťoučký kůň")) << "such a paste is refused whole";
    EXPECT_EQ(boxes.Texts, QStringList({"Cannot paste characters outside the Central European character set."}));

    editor.Memo1->moveCursor(QTextCursor::End);
    QTest::keyClick(editor.Memo1, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(editor.Memo1->blockCount(), 2) << "Shift+Enter makes an ordinary line break";

    Click(editor.SpeedButton4);
    editor.Edit1->setText(QString::fromUtf8("1€0ñ"));
    Click(editor.Button1);
    EXPECT_EQ(boxes.Texts.size(), 2);
    EXPECT_EQ(boxes.Texts.value(1), "Cannot insert characters outside the Central European character set.");
    EXPECT_EQ(editor.Memo1->blockCount(), 2) << "nothing inserted";
}

// A file with a zero byte shows only the text before it: the editor warns
// and takes the text as a new one, so no save can cut the file short.
TEST_F(EditorTest, AFileWithAZeroByteOpensAsANewTextWithAWarning) {
    TEditor& editor = Editor();
    const std::string bytes("%%HEX%%\r\n41\0" "42\r\n", 13);
    WriteBytes(Folder / "zero.cpo", bytes);
    WriteBytes(Folder / "next.cpo", "next");
    OpenAnswer = Q(Folder / "zero.cpo");
    editor.Open1->trigger();
    EXPECT_EQ(Text(), "%%HEX%%\n41");
    ASSERT_EQ(Warnings.size(), 1);
    EXPECT_TRUE(Warnings[0].contains(OpenAnswer) && Warnings[0].contains("zero byte")) << Warnings[0].toStdString();
    EXPECT_EQ(editor.windowTitle(), "New");
    EXPECT_TRUE(editor.TextChanged);

    SaveQuestionAnswer = QMessageBox::Yes;
    SaveAnswer.clear();
    editor.Save1->trigger();
    EXPECT_EQ(SaveSeen.Count, 1) << "saving asks for a name";
    OpenAnswer = Q(Folder / "next.cpo");
    editor.Open1->trigger();
    EXPECT_EQ(Text(), "next");
    EXPECT_TRUE(Questions.isEmpty()) << "no question that Yes would answer by writing over the file";
    EXPECT_TRUE(ReadBytes(Folder / "zero.cpo") == bytes) << "the file is whole";
}

}  // namespace
