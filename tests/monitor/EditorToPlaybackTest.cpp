// A script written in the script editor, saved, and played by the input
// box's side button arrives byte for byte at the far end of port 1.
#include "editor/LimitedEdit.h"
#include "editor/ScriptMemo.h"
#include "editor/Unit2.h"
#include "editor/editor1.h"
#include "tests/monitor/InputRowFixture.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>

namespace {

using namespace kalvaro::test;

class EditorToPlaybackTest : public InputRowTest {};

TEST_F(EditorToPlaybackTest, AScriptWrittenInTheEditorPlaysByteForByte) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    TEditor& editor = Windows->Editor;
    Windows->Form2.uout->setText("1B");
    editor.show();
    editor.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &editor; }));

    // Written as a user does: marker buttons, the delay panel and typed data.
    editor.Memo1->setFocus();
    Click(editor.SpeedButton2);  // %%HEX%%
    QTest::keyClicks(editor.Memo1, "41 42 c3");
    Click(editor.SpeedButton6);  // %%CR%%
    Click(editor.SpeedButton4);  // the delay panel
    editor.Edit1->setText("20");
    Click(editor.Button1);       // %%DELAY 20%%
    Click(editor.SpeedButton1);  // %%ASCII%%
    TypeKeys(editor.Memo1, QString::fromUtf16(u"Ahoj čau"));
    Click(editor.SpeedButton7);  // %%USER_DEF 1B%%

    const QString path = QString::fromStdString((Folder / "written.cpo").string());
    editor.Dialogs().RunSave = [&](QFileDialog& dialog) {
        dialog.selectFile(path);
        return int(QDialog::Accepted);
    };
    Click(editor.ToolButton3);  // Save
    ASSERT_EQ(editor.windowTitle(), path);
    EXPECT_EQ(form.EditFile, "written.cpo");

    form.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::activeWindow() == &form; }));
    AnswerOpenWith(form, {path});
    Click(form.Edit4Button);

    Bytes expected{0x41, 0x42, 0xC3, 0x0D};
    const Bytes text = Cp1250(QString::fromUtf16(u"Ahoj čau"));
    expected.insert(expected.end(), text.begin(), text.end());
    expected.push_back(0x1B);
    EXPECT_TRUE(PeerGot(expected));
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join(" | ").toStdString();
}

}  // namespace
