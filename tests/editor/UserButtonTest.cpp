// The user-defined button dialog with the editor: where it opens, and its
// values surviving a restart of the program.
#include "tests/editor/EditorFixture.h"
#include "tests/monitor/MainWindowFixture.h"
#include "widgets/LimitedEdit.h"

#include <QAction>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>

namespace {

using namespace kalvaro::test;

TEST(UserButtonDialog, OpensCentredOnTheScreenEachTime) {
    TForm2 dialog;
    const QPoint centre = dialog.screen()->geometry().center();
    for (int time = 0; time < 2; ++time) {
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        EXPECT_LE((dialog.frameGeometry().center() - centre).manhattanLength(), 2);
        EXPECT_EQ(dialog.size(), QSize(261, 89));
        dialog.move(0, 0);
        dialog.hide();
    }
}

class UserButtonRestartTest : public MainWindowTest {};

TEST_F(UserButtonRestartTest, TheValuesTypedSurviveARestart) {
    TForm1& form = Start();
    TEditor& editor = Windows->Editor;
    TForm2& dialog = Windows->Form2;
    editor.Dialogs().RunUserButton = [&](QDialog& modal) {
        modal.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&modal));
        for (auto [field, text] : {std::pair{dialog.Ucap, "Bell"}, std::pair{dialog.Uhint, "Rings"},
                                   std::pair{dialog.uout, "07"}}) {
            field->setFocus();
            field->selectAll();
            QTest::keyClicks(field, text);
        }
        QTest::mouseClick(dialog.Button1, Qt::LeftButton);
        return modal.result();
    };
    editor.Userbutton1->trigger();
    ASSERT_EQ(editor.SpeedButton7->text(), "Bell");
    ASSERT_TRUE(form.close());

    Windows.reset();
    TWindows again;
    EXPECT_EQ(again.Form2.UserCaption(), "Bell");
    EXPECT_EQ(again.Form2.UserHint(), "Rings");
    EXPECT_EQ(again.Form2.UserOut(), "07");
    EXPECT_EQ(again.Editor.SpeedButton7->text(), "Bell");
    EXPECT_EQ(again.Editor.SpeedButton7->toolTip(), "Rings");
    QTest::mouseClick(again.Editor.SpeedButton7, Qt::LeftButton);
    EXPECT_EQ(again.Editor.Memo1->toPlainText(), "%%USER_DEF 07%%\n");
}

TEST_F(UserButtonRestartTest, TheEditorRemembersItsFileInTheMainWindowsFields) {
    TForm1& form = Start();
    TEditor& editor = Windows->Editor;
    const std::filesystem::path folder = ConfigHome() / "remembered";
    std::filesystem::create_directories(folder);
    editor.Dialogs().RunSave = [&](QFileDialog& dialog) {
        dialog.selectFile(Q(folder / "kept.cpo"));
        return int(QDialog::Accepted);
    };
    editor.Memo1->setPlainText("%%LF%%");
    editor.Save1->trigger();
    EXPECT_EQ(form.EditPath, Q(folder));
    EXPECT_EQ(form.EditFile, "kept.cpo");
    ASSERT_TRUE(form.close());

    Windows.reset();
    TWindows again;
    EXPECT_EQ(again.Form1.EditPath, Q(folder));
    EXPECT_EQ(again.Form1.EditFile, "kept.cpo");
    std::filesystem::remove_all(folder);
}

}  // namespace
