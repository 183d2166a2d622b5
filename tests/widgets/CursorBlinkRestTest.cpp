#include "widgets/CursorBlinkRest.h"

#include <gtest/gtest.h>

#include <QEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QStyleHints>
#include <QTest>

namespace {

// Counts the paints of a focused line edit: its blinking cursor is all that
// repaints it while nothing is typed.
class TPaintCounter : public QObject {
public:
    int Paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++Paints;
        return false;
    }
};

int PaintsWithin(QLineEdit& edit, int ms) {
    TPaintCounter counter;
    edit.installEventFilter(&counter);
    QTest::qWait(ms);
    edit.removeEventFilter(&counter);
    return counter.Paints;
}

TEST(CursorBlinkRestTest, TheCursorRestsAfterQuietAndBlinksAgainAtTheNextKey) {
    const int desktopFlash = QGuiApplication::styleHints()->cursorFlashTime();
    ASSERT_GT(desktopFlash, 0);
    QLineEdit edit;
    edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    edit.activateWindow();
    edit.setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return edit.hasFocus(); }));
    {
        TCursorBlinkRest rest(nullptr, 3 * desktopFlash / 2);
        EXPECT_GT(PaintsWithin(edit, desktopFlash), 0) << "blinks while input is recent";
        ASSERT_TRUE(QTest::qWaitFor([&] { return rest.Resting(); }, 5000));
        QTest::qWait(100);  // the change to a steady cursor draws it once
        EXPECT_EQ(PaintsWithin(edit, 3 * desktopFlash / 2), 0) << "a resting cursor repaints nothing";

        QTest::keyClick(&edit, Qt::Key_A);
        EXPECT_FALSE(rest.Resting());
        EXPECT_EQ(QGuiApplication::styleHints()->cursorFlashTime(), desktopFlash);
        EXPECT_GT(PaintsWithin(edit, desktopFlash), 0) << "blinks again";
    }
    EXPECT_EQ(QGuiApplication::styleHints()->cursorFlashTime(), desktopFlash) << "restored when it goes";
}

}  // namespace
