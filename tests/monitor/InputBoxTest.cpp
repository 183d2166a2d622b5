// The input box typed into with real key presses: Auto and Enter mode in the
// three formats, line ends, echoes and the sent count, the length limit,
// the active state, errors, and its single-byte character set. What port 1
// sends is read at the far end of its virtual cable.
#include "tests/monitor/InputRowFixture.h"
#include "widgets/CountField.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QRadioButton>
#include <QTimer>

namespace {

using namespace kalvaro::test;

class InputBoxTest : public InputRowTest {
protected:
    // The lower view in HEX with a blank after every value: echoes are easy
    // to read.
    static void EchoInHex(TForm1& form) {
        Click(form.RadioButton5);
        form.Edit6->setText(" ");
    }
};

TEST_F(InputBoxTest, AutoModeSendsEachValueTheMomentItIsComplete) {
    TForm1& form = StartWithOpenPort();
    EchoInHex(form);

    QTest::keyClicks(form.Edit4, "Hi");
    EXPECT_TRUE(PeerGot("Hi"));
    EXPECT_EQ(form.Edit4->text(), "");

    Click(form.rhex);
    QTest::keyClick(form.Edit4, '4');
    EXPECT_EQ(form.Edit4->text(), "4");
    EXPECT_TRUE(PeerGot(Bytes{}));
    QTest::keyClick(form.Edit4, '1');
    EXPECT_EQ(form.Edit4->text(), "");
    QTest::keyClick(form.Edit4, 'a');
    EXPECT_EQ(form.Edit4->text(), "A") << "HEX makes letters capitals as they are typed";
    QTest::keyClick(form.Edit4, 'b');
    QTest::keyClicks(form.Edit4, "g1");
    EXPECT_TRUE(PeerGot(Bytes{0x41, 0xAB, 0x01}));

    Click(form.Rdec);
    for (const char* value : {"065", "300", "999", "-12"}) QTest::keyClicks(form.Edit4, value);
    EXPECT_TRUE(PeerGot(Bytes{65, 44, 231, 244}));

    EXPECT_EQ(form.RichEdit2->PlainText(), "48 69 41 AB 01 41 2C E7 F4 ");
    EXPECT_TRUE(PumpUntil([&] { return form.Edit3->ShownText() == "9"; })) << "the sent count field";
    EXPECT_EQ(form.SentCount, 9);
    EXPECT_TRUE(form.Edit4->hasFocus());
}

TEST_F(InputBoxTest, ADecimalValueThatDoesNotConvertStaysInTheBox) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    Click(form.Rdec);
    QTest::keyClicks(form.Edit4, "1a2");
    EXPECT_EQ(errors.Texts, QStringList{"'1a2' is not a valid integer value."});
    EXPECT_EQ(errors.Captions, QStringList{"Kalvaro"});
    EXPECT_EQ(form.Edit4->text(), "1a2");
    QTest::keyClick(form.Edit4, '3');
    EXPECT_EQ(form.Edit4->text(), "1a2") << "a full box takes no more typing";
    QTest::keyClick(form.Edit4, Qt::Key_Backspace);
    EXPECT_EQ(form.Edit4->text(), "1a");
    EXPECT_TRUE(PeerGot(Bytes{}));
    EXPECT_EQ(form.SentCount, 0);
    EXPECT_EQ(errors.Texts.size(), 1);
}

TEST_F(InputBoxTest, EnterModeSendsTheLineInGroupsWithTheCheckedLineEnds) {
    TForm1& form = StartWithOpenPort();
    EXPECT_FALSE(form.ChCR->isEnabled());
    Click(form.Rstring);
    EXPECT_TRUE(form.ChCR->isEnabled());
    EXPECT_TRUE(form.chlf->isEnabled());
    EXPECT_EQ(form.InputLimit(), 255);
    Click(form.ChCR);
    EXPECT_TRUE(form.Edit4->hasFocus());

    Click(form.rhex);
    QTest::keyClicks(form.Edit4, "414243");
    EXPECT_TRUE(PeerGot(Bytes{})) << "typing in Enter mode sends nothing";
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Bytes{0x41, 0x42, 0x43, 0x0D}));
    EXPECT_EQ(form.Edit4->text(), "");
    QTest::keyClicks(form.Edit4, "ABC");
    QTest::keyClick(form.Edit4, Qt::Key_Enter);
    EXPECT_TRUE(PeerGot(Bytes{0xAB, 0x0C, 0x0D}));

    Click(form.ChCR);
    Click(form.Rdec);
    QTest::keyClicks(form.Edit4, "065066067");
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Bytes{65, 66, 67}));
    QTest::keyClicks(form.Edit4, "6566067");
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Bytes{144, 94, 7})) << "groups are cut every three characters from the left";

    // An empty line sends only the checked line ends, CR before LF.
    Click(form.chlf);
    Click(form.ChCR);
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Bytes{0x0D, 0x0A}));
    EXPECT_FALSE(form.EnterPending);

    // A full line, typed or pasted, is sent whole.
    Click(form.Rascii);
    const QString full(255, 'f');
    QTest::keyClicks(form.Edit4, full);
    ASSERT_EQ(form.Edit4->text(), full);
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    Bytes line(257, 'f');
    line[255] = 0x0D;
    line[256] = 0x0A;
    EXPECT_TRUE(PeerGot(line));
    QApplication::clipboard()->setText(QString(300, 'p'));
    QTest::keyClick(form.Edit4, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    std::fill_n(line.begin(), 255, 'p');
    EXPECT_TRUE(PeerGot(line));
    EXPECT_EQ(form.Edit4->text(), "");
}

TEST_F(InputBoxTest, EnterInAutoModeSendsOnlyTheLineEndsOfAnEmptyBox) {
    TForm1& form = StartWithOpenPort();
    EchoInHex(form);
    Click(form.Rstring);
    Click(form.ChCR);
    Click(form.chlf);
    Click(form.Rchar);
    EXPECT_FALSE(form.ChCR->isEnabled());
    EXPECT_TRUE(form.ChCR->isChecked()) << "a disabled box keeps its mark";

    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Bytes{0x0D, 0x0A}));
    EXPECT_EQ(form.RichEdit2->PlainText(), "0D \r\n") << "13 is echoed, 10 is not; then a new line";

    Click(form.rhex);
    QTest::keyClick(form.Edit4, '4');
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Bytes{}));
    EXPECT_EQ(form.RichEdit2->PlainText(), "0D \r\n\r\n");
    EXPECT_EQ(form.Edit4->text(), "4");
    EXPECT_EQ(form.SentCount, 3) << "the new lines are counted too";
}

TEST_F(InputBoxTest, KeysAreDiscardedWhileTheBoxIsInactive) {
    TForm1& form = Start();
    EXPECT_FALSE(form.InputBoxActive());
    QTest::keyClicks(form.Edit4, "abc");
    EXPECT_EQ(form.Edit4->text(), "");

    OpenPort1(form);
    QTest::keyClicks(form.Edit4, "x");
    EXPECT_TRUE(PeerGot("x"));
    Click(form.Rstring);
    QTest::keyClicks(form.Edit4, "yz");
    ClosePort1(form);
    QTest::keyClicks(form.Edit4, "w");
    QTest::keyClick(form.Edit4, Qt::Key_Backspace);
    EXPECT_EQ(form.Edit4->text(), "yz") << "Backspace is a character key and is discarded too";
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_EQ(form.Edit4->text(), "yz");
    EXPECT_TRUE(PeerGot(Bytes{}));
}

TEST_F(InputBoxTest, SwitchingFromEnterToAutoKeepsTheLineUntilItIsOneValue) {
    TForm1& form = StartWithOpenPort();
    Click(form.Rstring);
    QTest::keyClicks(form.Edit4, "hello");
    Click(form.Rchar);
    EXPECT_EQ(form.InputLimit(), 1);
    QTest::keyClick(form.Edit4, 'x');
    EXPECT_EQ(form.Edit4->text(), "hello");
    for (int i = 0; i < 3; ++i) QTest::keyClick(form.Edit4, Qt::Key_Backspace);
    EXPECT_EQ(form.Edit4->text(), "he");
    EXPECT_TRUE(PeerGot(Bytes{}));
    QTest::keyClick(form.Edit4, Qt::Key_Backspace);
    EXPECT_EQ(form.Edit4->text(), "");
    EXPECT_TRUE(PeerGot("h"));
}

TEST_F(InputBoxTest, AnErrorInTheEnterSendingLeavesNoSendPending) {
    TErrorBoxes errors;
    TForm1& form = StartWithOpenPort();
    Click(form.Rstring);
    Click(form.Rdec);
    Click(form.ChCR);
    QTest::keyClicks(form.Edit4, "0651a2");
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_EQ(errors.Texts, QStringList{"'1a2' is not a valid integer value."});
    EXPECT_TRUE(PeerGot(Bytes{65})) << "values before the bad group are sent, no line end after it";
    EXPECT_EQ(form.Edit4->text(), "0651a2");
    EXPECT_FALSE(form.EnterPending);

    // Delete is no character key: only the mended flag keeps it from sending.
    QTest::keyClick(form.Edit4, Qt::Key_Home);
    QTest::keyClick(form.Edit4, Qt::Key_Delete);
    EXPECT_EQ(form.Edit4->text(), "651a2");
    EXPECT_TRUE(PeerGot(Bytes{}));
    EXPECT_EQ(errors.Texts.size(), 1);
}

TEST_F(InputBoxTest, EnterModeWaitsForRoomInAFullOutputQueue) {
    TErrorBoxes errors;
    TForm1& form = Start();
    OpenPort1(form, br9600);
    Click(form.Rstring);
    Click(form.ChCR);
    QTest::keyClicks(form.Edit4, "line one");

    std::string filler;
    for (int i = 0; i < 100 && form.Comport1->OutFree() > 0; ++i) {
        const std::string more(static_cast<std::size_t>(form.Comport1->OutFree()), 'f');
        form.Comport1->WriteText(more);
        filler += more;
    }
    ASSERT_EQ(form.Comport1->OutFree(), 0);
    StartGuiTicks();
    // A key typed while the line waits is not taken: the line cannot change.
    QTimer::singleShot(50, [&] { QTest::keyClick(form.Edit4, 'z'); });
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_GT(GuiTicks, 0) << "the GUI ran while the line waited";
    EXPECT_TRUE(PeerGot(BytesOf(filler + "line one\r"), LongLimit));
    EXPECT_EQ(form.Edit4->text(), "");
    EXPECT_TRUE(errors.Texts.isEmpty()) << errors.Texts.join('|').toStdString();
}

TEST_F(InputBoxTest, TheBoxHoldsCodePage1250Characters) {
    TForm1& form = StartWithOpenPort();
    TypeKeys(form.Edit4, QString::fromUtf8("č€"));
    EXPECT_TRUE(PeerGot(Bytes{0xE8, 0x80}));
    TypeKeys(form.Edit4, QString::fromUtf8("жλ中"));
    EXPECT_EQ(form.Edit4->text(), "") << "characters outside the code page are not taken";
    EXPECT_TRUE(PeerGot(Bytes{}));

    Click(form.Rstring);
    TypeKeys(form.Edit4, QString::fromUtf8("žluť"));
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Cp1250(QString::fromUtf8("žluť"))));

    // HEX makes the code page's small letters capitals too.
    Click(form.Rchar);
    Click(form.rhex);
    TypeKeys(form.Edit4, QString::fromUtf8("č"));
    EXPECT_EQ(form.Edit4->text(), QString::fromUtf8("Č"));
}

TEST_F(InputBoxTest, TheLimitHoldsForTypingAndPastingButNotForTheProgram) {
    TForm1& form = StartWithOpenPort();
    Click(form.rhex);
    EXPECT_EQ(form.InputLimit(), 2);

    QApplication::clipboard()->setText("4142");
    QTest::keyClick(form.Edit4, Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(PeerGot(Bytes{0x41})) << "only what fits is pasted";
    EXPECT_EQ(form.Edit4->text(), "");

    form.Edit4->setText("12345");
    EXPECT_EQ(form.Edit4->text(), "12345") << "the program's text is not cut";
    QTest::keyClick(form.Edit4, '6');
    EXPECT_EQ(form.Edit4->text(), "12345");
    form.Edit4->clear();

    Click(form.Rstring);
    QApplication::clipboard()->setText(
        QString::fromUtf8("ab\xD0\xB6"
                          "c\r\nnext line"));
    QTest::keyClick(form.Edit4, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(form.Edit4->text(), "abc") << "one line, only characters of the code page";
    form.Edit4->clear();
    QTest::keyClicks(form.Edit4, QString(300, 'x'));
    EXPECT_EQ(form.Edit4->text().size(), 255);

    // The context menu's Paste keeps the limit too, and it works while the
    // box takes no keys.
    form.Edit4->clear();
    ClosePort1(form);
    QApplication::clipboard()->setText(QString(300, 'y'));
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5), form.Edit4->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(form.Edit4, &menuEvent);
    QMenu* menu = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<QMenu*>(widget); found && found->isVisible()) menu = found;
        return menu != nullptr;
    }));
    QAction* paste = menu->findChild<QAction*>("edit-paste");
    ASSERT_NE(paste, nullptr);
    paste->trigger();
    menu->close();
    EXPECT_EQ(form.Edit4->text(), QString(255, 'y'));
}

TEST_F(InputBoxTest, SetUpsSetTheLimitAndTheLineEndBoxes) {
    TForm1& form = StartWithOpenPort();
    EXPECT_EQ(form.InputLimit(), 1);
    Click(form.Rdec);
    EXPECT_EQ(form.InputLimit(), 3);
    Click(form.Rstring);
    EXPECT_EQ(form.InputLimit(), 255);
    Click(form.rhex);
    EXPECT_EQ(form.InputLimit(), 255) << "the format set-up keeps Enter mode's limit";
    Click(form.Rchar);
    EXPECT_EQ(form.InputLimit(), 2);
    Click(form.Rascii);
    EXPECT_EQ(form.InputLimit(), 1);

    // Every activation runs the Auto set-up, whichever mode is checked: in
    // Enter mode Enter then sends the one value the box can hold, and the
    // line ends after it.
    Click(form.Rstring);
    Click(form.ChCR);
    form.FormActivate();
    EXPECT_TRUE(form.Rstring->isChecked());
    EXPECT_EQ(form.InputLimit(), 1);
    EXPECT_FALSE(form.ChCR->isEnabled());
    QTest::keyClicks(form.Edit4, "ab");
    EXPECT_EQ(form.Edit4->text(), "a");
    QTest::keyClick(form.Edit4, Qt::Key_Return);
    EXPECT_TRUE(PeerGot(Bytes{'a', 0x0D}));
}

}  // namespace
