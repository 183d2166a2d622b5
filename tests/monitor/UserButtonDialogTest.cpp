#include "editor/Unit2.h"
#include "tests/monitor/InputRowFixture.h"
#include "widgets/LimitedEdit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QRadioButton>

namespace {

using namespace kalvaro::test;

class UserButtonDialogTest : public testing::Test {
protected:
    void TearDown() override { ResetSettings(); }
};

TEST_F(UserButtonDialogTest, IsTheSmallToolWindowWithItsFields) {
    TForm2 dialog;
    EXPECT_EQ(dialog.windowTitle(), "User define button");
    EXPECT_TRUE(dialog.windowFlags() & Qt::Tool);
    EXPECT_EQ(dialog.size(), QSize(261, 89));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(dialog.Button1->text(), "OK");
    EXPECT_LT(dialog.Ucap->y(), dialog.Uhint->y());
    EXPECT_LT(dialog.Uhint->y(), dialog.uout->y());
    EXPECT_EQ(dialog.Ucap->TypingLimit(), 7);
    EXPECT_EQ(dialog.uout->TypingLimit(), 2);
    EXPECT_EQ(dialog.Uhint->TypingLimit(), 0);
    EXPECT_EQ(dialog.Ucap->nextInFocusChain(), dialog.Uhint);
    EXPECT_EQ(dialog.Uhint->nextInFocusChain(), dialog.uout);
    EXPECT_EQ(dialog.uout->nextInFocusChain(), dialog.Button1);
}

TEST_F(UserButtonDialogTest, ReadsItsKeysWithTheirDefaultsAtCreation) {
    {
        TForm2 dialog;
        EXPECT_EQ(dialog.UserCaption(), "User");
        EXPECT_EQ(dialog.UserHint(), "User defined value");
        EXPECT_EQ(dialog.UserOut(), "00");
    }
    WriteSettingsWithPorts({}, "[ComPort3]\nUserCaption=LongCaption\nUserHint=Sends a byte\nUserOut=7f\n");
    TForm2 dialog;
    EXPECT_EQ(dialog.UserCaption(), "LongCaption") << "a longer caption from the file is shown whole";
    EXPECT_EQ(dialog.UserHint(), "Sends a byte");
    EXPECT_EQ(dialog.UserOut(), "7f") << "the value is not checked";
}

TEST_F(UserButtonDialogTest, OkClosesTheDialogAndKeepsWhatWasTyped) {
    TForm2 dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    dialog.uout->selectAll();
    QTest::keyClicks(dialog.uout, "7F");
    Click(dialog.Button1);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.UserOut(), "7F");
}

TEST(LimitedEdit, TheLimitHoldsForTypingAndPastingOnly) {
    TLimitedEdit edit;
    edit.SetTypingLimit(3);
    edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    QTest::keyClicks(&edit, "abcd");
    EXPECT_EQ(edit.text(), "abc");

    edit.setText("12345");
    EXPECT_EQ(edit.text(), "12345") << "text set by the program is not cut";
    edit.setCursorPosition(5);
    QTest::keyClicks(&edit, "X");
    EXPECT_EQ(edit.text(), "12345") << "no room to add to a text over the limit";
    QTest::keyClick(&edit, Qt::Key_Backspace);
    EXPECT_EQ(edit.text(), "1234") << "a text over the limit can still be shortened";

    edit.setText("a");
    edit.setCursorPosition(1);
    QApplication::clipboard()->setText("WXYZ");
    edit.paste();
    EXPECT_EQ(edit.text(), "aWX") << "a paste keeps what fits";
    EXPECT_EQ(edit.cursorPosition(), 3);

    edit.setCursorPosition(1);
    edit.setSelection(1, 1);
    QTest::keyClicks(&edit, "Q");
    EXPECT_EQ(edit.text(), "aQX") << "typing over a selection replaces it";
}

// Every field with a typing limit, typed into key by key far past it: the
// keys beyond the limit are refused every time, not every second time.
TEST_F(InputRowTest, EveryLimitedFieldRefusesEachKeyPastItsLimit) {
    TForm1& form = StartWithOpenPort();
    TForm2& dialog = Windows->Form2;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    Click(form.Rstring);  // Enter mode: the box takes 255 characters and sends nothing while typing

    const QString keys = "EscapeKey1";
    struct TRow {
        const char* Name;
        QLineEdit* Field;
        int Limit;
        int Keys;
    };
    for (const TRow& row : {TRow{"caption", dialog.Ucap, 7, 30}, TRow{"value", dialog.uout, 2, 30},
                            TRow{"upper separator", form.Edit5, 3, 30}, TRow{"lower separator", form.Edit6, 3, 30},
                            TRow{"input box", form.Edit4, 255, 300}}) {
        SCOPED_TRACE(row.Name);
        row.Field->activateWindow();
        row.Field->setFocus();
        row.Field->clear();
        QString typed;
        for (int i = 0; i < row.Keys; ++i) typed += keys[i % keys.size()];
        QTest::keyClicks(row.Field, typed);
        EXPECT_EQ(row.Field->text().toStdString(), typed.left(row.Limit).toStdString());
    }
}

}  // namespace
