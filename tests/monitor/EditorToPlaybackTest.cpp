// A script written in the script editor, saved, and played by the input
// box's side button arrives byte for byte at the far end of port 1; a named
// pipe chosen as a script is refused by both at once.
#include "editor/ScriptMemo.h"
#include "editor/Unit2.h"
#include "editor/editor1.h"
#include "tests/monitor/InputRowFixture.h"
#include "widgets/LimitedEdit.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

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

// Turns a window stuck opening a named pipe into a failure instead of a
// hang: past its limit it notes that it fired and keeps opening the pipe's
// write end, which lets a blocked open return (and its read find the end).
class TPipeWatchdog {
public:
    TPipeWatchdog(std::filesystem::path pipe, milliseconds limit)
        : Thread([this, pipe = std::move(pipe), limit] {
              for (milliseconds waited(0); !Done; waited += milliseconds(20)) {
                  std::this_thread::sleep_for(milliseconds(20));
                  if (waited < limit) continue;
                  Fired = true;
                  if (const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK); writer >= 0) ::close(writer);
              }
          }) {}
    ~TPipeWatchdog() {
        Done = true;
        Thread.join();
    }
    TPipeWatchdog(const TPipeWatchdog&) = delete;
    TPipeWatchdog& operator=(const TPipeWatchdog&) = delete;

    std::atomic<bool> Fired{false};

private:
    std::atomic<bool> Done{false};
    std::thread Thread;
};

TEST_F(EditorToPlaybackTest, ANamedPipeIsRefusedAtOnceByThePlayerAndTheEditor) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    const std::filesystem::path pipe = Folder / "pipe.cpo";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const QString path = QString::fromStdString(pipe.string());
    const QString refused = "Cannot open file " + path + ".";
    const TPipeWatchdog watchdog(pipe, milliseconds(3000));

    AnswerOpenWith(form, {path});
    Click(form.Edit4Button);
    EXPECT_FALSE(watchdog.Fired) << "playing the pipe held the window";
    EXPECT_EQ(errors.Texts.join(" | ").toStdString(), refused.toStdString());
    EXPECT_TRUE(form.LoadFile.isEmpty());

    TEditor& editor = Windows->Editor;
    editor.Dialogs().RunOpen = [&](QFileDialog& dialog) {
        dialog.selectFile(path);
        return int(QDialog::Accepted);
    };
    editor.Open1->trigger();
    EXPECT_FALSE(watchdog.Fired) << "opening the pipe in the editor held the window";
    EXPECT_EQ(errors.Texts.join(" | ").toStdString(), (refused + " | " + refused).toStdString());
    EXPECT_EQ(editor.windowTitle(), "New");
}

}  // namespace
