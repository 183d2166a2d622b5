#include "tests/serial/GuiTestSupport.h"
#include "widgets/CursorBlinkRest.h"
#include "widgets/MonitorView.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QStyleHints>
#include <QTest>
#include <QWheelEvent>

#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace {

const QRgb Red = qRgb(255, 0, 0);
const QRgb Green = qRgb(0, 255, 0);
const QRgb Blue = qRgb(0, 0, 255);
const QRgb White = qRgb(255, 255, 255);

// A view the size of the main window's, shown on the offscreen screen.
class MonitorViewTest : public testing::Test {
protected:
    void SetUp() override { View = MakeView(TCodePage::Cp1250); }

    static std::unique_ptr<TMonitorView> MakeView(TCodePage page) {
        auto view = std::make_unique<TMonitorView>(page);
        view->resize(577, 113);
        view->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return view->Columns() > 1; }));
        return view;
    }

    // The scroll bar comes and goes through a posted event, and the rewrap
    // follows the viewport's resize.
    bool WaitForScrollBar(bool shown) {
        return QTest::qWaitFor([&] { return View->verticalScrollBar()->isVisible() == shown; });
    }

    qreal CharacterWidth() const { return QFontMetricsF(View->font()).horizontalAdvance(QString(64, u'M')) / 64; }

    QPoint PointAt(int row, int column) const {
        const int lineHeight = View->viewport()->height() / View->VisibleLines();
        return QPoint(static_cast<int>((column + 0.2) * CharacterWidth()), row * lineHeight + 3);
    }

    void SendMouse(QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, View->viewport()->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(View->viewport(), &event);
    }

    std::unique_ptr<TMonitorView> View;
};

std::string Lines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "line " + std::to_string(i) + "\n";
    return text;
}

TEST_F(MonitorViewTest, LooksLikeTheMonitorsViews) {
    EXPECT_TRUE(QFontInfo(View->font()).fixedPitch());
    EXPECT_EQ(View->font().pixelSize(), 13);
    EXPECT_EQ(View->palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(View->palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_EQ(View->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_FALSE(View->verticalScrollBar()->isVisible());
    EXPECT_EQ(View->LineCount(), 0);
    EXPECT_EQ(View->Size(), 0u);
}

TEST_F(MonitorViewTest, PlainTextWritesLineFeedsAsCrLf) {
    View->Append("41 42 ", Red);
    View->Append("\n", Red);
    View->Append("43\n", Green);
    View->Append("\r44", Blue);
    EXPECT_EQ(View->Size(), 13u);
    EXPECT_EQ(View->PlainText(), "41 42 \r\n43\r\n\r44");
}

TEST_F(MonitorViewTest, EveryByteKeepsTheColourItCameWith) {
    View->Append("ab", Red);
    View->Append("cd", Red);
    View->Append("e", Green);
    View->Append("", Blue);
    View->Append("f", 0x000000FF);  // blue without alpha
    View->Append("g", Red);
    const QRgb expected[] = {Red, Red, Red, Red, Green, Blue, Red};
    for (std::size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(View->ColourAt(i), expected[i]) << i;
    EXPECT_EQ(View->ColourAt(7), White);
}

TEST_F(MonitorViewTest, TextChangedFollowsEveryAppendAndClear) {
    int changes = 0;
    QObject::connect(View.get(), &TMonitorView::TextChanged, [&] { ++changes; });
    View->Append("a", Red);
    View->Append("b\n", Red);
    View->Clear();
    EXPECT_EQ(changes, 3);
}

TEST_F(MonitorViewTest, ClearEmptiesEverything) {
    View->Append(Lines(40), Red);
    View->Select(0, 10);
    ASSERT_TRUE(WaitForScrollBar(true));
    View->ScrollLines(10);
    View->Clear();
    EXPECT_EQ(View->Size(), 0u);
    EXPECT_EQ(View->PlainText(), "");
    EXPECT_EQ(View->LineCount(), 0);
    EXPECT_EQ(View->FirstVisibleLine(), 0);
    EXPECT_EQ(View->SelectedText(), "");
    EXPECT_TRUE(WaitForScrollBar(false));
    View->Append("x", Green);
    EXPECT_EQ(View->ColourAt(0), Green);
    EXPECT_EQ(View->LineCount(), 1);
}

TEST_F(MonitorViewTest, ColumnsAreWhatFitsTheViewport) {
    const int columns = View->Columns();
    const QFontMetricsF metrics(View->font());
    EXPECT_LE(metrics.horizontalAdvance(QString(columns, u'M')), View->viewport()->width() + 0.01);
    EXPECT_GT(metrics.horizontalAdvance(QString(columns + 1, u'M')), View->viewport()->width());
    EXPECT_GT(columns, 60);  // 577 pixels of 13-pixel Courier hold about 73
}

TEST_F(MonitorViewTest, LongLinesWrapByCharacter) {
    const int columns = View->Columns();
    const std::string line(static_cast<std::size_t>(2 * columns + 5), 'x');
    View->Append(line, Red);
    EXPECT_EQ(View->LineCount(), 3);
    EXPECT_EQ(View->VisualLineText(0), QString(columns, u'x'));
    EXPECT_EQ(View->VisualLineText(2), QString(5, u'x'));
    EXPECT_EQ(View->VisualLineText(3), QString());

    View->Append("\n", Red);
    EXPECT_EQ(View->LineCount(), 3) << "a last line that is empty is not counted";
    View->Append("\n", Red);
    EXPECT_EQ(View->LineCount(), 4) << "an empty line before the last one is";
    View->Append(std::string(static_cast<std::size_t>(columns), 'y'), Red);
    EXPECT_EQ(View->LineCount(), 5) << "a line exactly one row wide takes one row";
    View->Append("y", Red);
    EXPECT_EQ(View->LineCount(), 6);
    EXPECT_EQ(View->PlainText(), line + "\r\n\r\n" + std::string(static_cast<std::size_t>(columns) + 1, 'y'));
}

TEST_F(MonitorViewTest, ResizingRewrapsEveryLine) {
    const std::string line(200, 'h');
    for (int i = 0; i < 6; ++i) View->Append(line + "\n", Green);
    ASSERT_TRUE(WaitForScrollBar(true));
    const int wideColumns = View->Columns();
    View->ScrollLines((200 + wideColumns - 1) / wideColumns);  // the second line at the top

    View->resize(300, 113);
    ASSERT_TRUE(QTest::qWaitFor([&] { return View->Columns() < 60; }));
    const int columns = View->Columns();
    const int rowsPerLine = (200 + columns - 1) / columns;
    EXPECT_EQ(View->LineCount(), 6 * rowsPerLine);
    EXPECT_EQ(View->VisualLineText(rowsPerLine), QString(columns, u'h'));
    EXPECT_EQ(View->FirstVisibleLine(), rowsPerLine) << "the line at the top stays at the top";
}

TEST_F(MonitorViewTest, ScrollBarShowsOnlyWhileTextIsTallerThanTheView) {
    View->Append(Lines(View->VisibleLines()), Red);
    QCoreApplication::processEvents();
    EXPECT_FALSE(View->verticalScrollBar()->isVisible());
    View->Append("one more", Red);
    EXPECT_TRUE(WaitForScrollBar(true));
    View->Clear();
    EXPECT_TRUE(WaitForScrollBar(false));
}

TEST_F(MonitorViewTest, ScrollLinesIsClampedAndNothingScrollsByItself) {
    View->Append(Lines(50), Red);
    ASSERT_TRUE(WaitForScrollBar(true));
    const int last = View->LineCount() - 1;  // the last row at the top
    EXPECT_EQ(View->LineCount(), 50);
    EXPECT_EQ(View->FirstVisibleLine(), 0) << "appending must not scroll";
    View->ScrollLines(-5);
    EXPECT_EQ(View->FirstVisibleLine(), 0);
    View->ScrollLines(1000);
    EXPECT_EQ(View->FirstVisibleLine(), last);
    View->ScrollLines(-3);
    EXPECT_EQ(View->FirstVisibleLine(), last - 3);
    View->ScrollLines(2);
    EXPECT_EQ(View->FirstVisibleLine(), last - 1);
    View->ScrollLines(INT_MAX);
    EXPECT_EQ(View->FirstVisibleLine(), last);
    View->ScrollLines(INT_MIN);
    EXPECT_EQ(View->FirstVisibleLine(), 0);
}

TEST_F(MonitorViewTest, OwnersScrollRuleKeepsNewestLinesInSight) {
    QObject::connect(View.get(), &TMonitorView::TextChanged,
                     [&] { View->ScrollLines(View->LineCount() - View->FirstVisibleLine() - 6); });
    ASSERT_GT(View->VisibleLines(), 6) << "the rule then leaves rows empty below the text";
    for (int i = 0; i < 30; ++i) {
        View->Append("line " + std::to_string(i) + "\n", Green);
        ASSERT_EQ(View->FirstVisibleLine(), std::max(0, i + 1 - 6));
    }
    EXPECT_EQ(View->VisualLineText(View->FirstVisibleLine()), "line 24");
    EXPECT_TRUE(WaitForScrollBar(true));

    // Scrolled away from its top, a view whose text fits shows its bar, so
    // the user can scroll back.
    View->Clear();
    View->Append(Lines(View->VisibleLines()), Green);
    EXPECT_EQ(View->FirstVisibleLine(), View->VisibleLines() - 6);
    EXPECT_TRUE(WaitForScrollBar(true));
}

TEST_F(MonitorViewTest, WheelScrollsByLines) {
    View->Append(Lines(50), Red);
    ASSERT_TRUE(WaitForScrollBar(true));
    const QPoint at(10, 10);
    QWheelEvent wheel(at, View->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(View->viewport(), &wheel);
    EXPECT_EQ(View->FirstVisibleLine(), QApplication::wheelScrollLines());
}

TEST_F(MonitorViewTest, HistoryOfLinesStaysWithinTheBound) {
    const std::size_t bound = View->MaxBytes();
    ASSERT_EQ(bound, 4u * 1024 * 1024);
    const std::string padding(56, '.');
    const int total = 6 * 1024 * 1024 / 64;
    char number[16];
    std::size_t largest = 0;
    for (int i = 0; i < total; ++i) {
        std::snprintf(number, sizeof number, "%07d", i);
        View->Append(std::string(number) + padding + "\n", i % 2 ? Green : Red);
        largest = std::max(largest, View->Size());
    }
    EXPECT_LE(largest, bound + bound / 8);
    ASSERT_LE(View->Size(), bound + bound / 8);
    ASSERT_GE(View->Size(), bound / 2);
    ASSERT_EQ(View->Size() % 64, 0u) << "only whole lines are dropped";

    const int kept = static_cast<int>(View->Size() / 64);
    const int oldest = total - kept;
    EXPECT_GT(oldest, 0);
    std::string expected;
    for (int i = oldest; i < total; ++i) {
        std::snprintf(number, sizeof number, "%07d", i);
        expected += std::string(number) + padding + "\r\n";
    }
    EXPECT_TRUE(View->PlainText() == expected) << "the newest lines must be intact and in order";
    for (int i = 0; i < kept; ++i) {
        const QRgb colour = (oldest + i) % 2 ? Green : Red;
        ASSERT_EQ(View->ColourAt(static_cast<std::size_t>(i) * 64), colour) << i;
        ASSERT_EQ(View->ColourAt(static_cast<std::size_t>(i) * 64 + 63), colour) << i;
    }
    ASSERT_TRUE(WaitForScrollBar(true));
    const int rowsPerLine = (63 + View->Columns() - 1) / View->Columns();
    EXPECT_EQ(View->LineCount(), kept * rowsPerLine);
}

TEST_F(MonitorViewTest, OneUnbrokenLineIsTrimmedFromTheFront) {
    const std::size_t bound = 64 * 1024;
    View->SetMaxBytes(bound);
    // Each byte is known by its position in the stream, so what survives can
    // be checked against where it came from.
    const auto byteAt = [](std::size_t k) { return static_cast<char>('A' + k % 23); };
    const std::size_t chunk = 3000;
    std::size_t written = 0;
    for (int batch = 0; batch < 100; ++batch) {
        std::string piece;
        for (std::size_t i = 0; i < chunk; ++i) piece.push_back(byteAt(written + i));
        View->Append(piece, batch % 2 ? Blue : Red);
        written += chunk;
        ASSERT_LE(View->Size(), bound + bound / 8);
    }
    const std::size_t size = View->Size();
    ASSERT_GE(size, bound / 2);
    const std::size_t from = written - size;
    const std::string text = View->PlainText();
    ASSERT_EQ(text.size(), size);
    for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(text[i], byteAt(from + i)) << i;
    for (std::size_t i = 0; i < size; i += 500) {
        const std::size_t batch = (from + i) / chunk;
        ASSERT_EQ(View->ColourAt(i), batch % 2 ? Blue : Red) << i;
    }
    EXPECT_EQ(View->LineCount(), static_cast<int>((size + View->Columns() - 1) / View->Columns()));
}

TEST_F(MonitorViewTest, BoundDropsWholeLinesOrTheTailOfAnOverlongOne) {
    View->SetMaxBytes(100);
    for (int i = 0; i < 15; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line %02d\n", i);
        View->Append(line, i < 3 ? Red : Green);
    }
    // 120 bytes passed 100 + 100/8: whole lines went until at most 100 remained.
    EXPECT_EQ(View->Size(), 96u);
    EXPECT_EQ(View->PlainText().substr(0, 9), "line 03\r\n");
    EXPECT_EQ(View->ColourAt(0), Green);

    View->Clear();
    View->Append(std::string(200, 'a') + "\n", Red);
    View->Append("bb\n", Green);
    EXPECT_EQ(View->PlainText(), std::string(99, 'a') + "\r\nbb\r\n");
    EXPECT_EQ(View->ColourAt(99), Red);
    EXPECT_EQ(View->ColourAt(100), Green);
}

TEST_F(MonitorViewTest, LoweringTheBoundTrimsAtOnce) {
    View->Append(Lines(1000), Red);
    View->SetMaxBytes(1000);
    EXPECT_LE(View->Size(), 1000u);
    const std::string text = View->PlainText();
    EXPECT_EQ(text.substr(text.size() - 10), "line 999\r\n");
}

TEST_F(MonitorViewTest, HighBytesShowThroughTheViewsCodePage) {
    auto lower = MakeView(TCodePage::Cp1252);
    const std::string bytes = "\x8A\xE8\xB3\x8D";
    View->Append(bytes, White);
    lower->Append(bytes, White);
    EXPECT_EQ(View->VisualLineText(0), QString::fromUtf16(u"ŠčłŤ"));
    EXPECT_EQ(lower->VisualLineText(0), QString::fromUtf16(u"Šè³ "));
}

TEST_F(MonitorViewTest, ControlBytesAreDrawnAsBlanks) {
    View->Append(std::string("\x01\t\r\x7F\x81"
                             "A\0B",
                             8),
                 Red);
    EXPECT_EQ(View->VisualLineText(0), "     A B");
    EXPECT_EQ(View->Size(), 8u);
    EXPECT_EQ(View->LineCount(), 1);
}

TEST_F(MonitorViewTest, SoftHyphenKeepsItsColumn) {
    View->Append(
        "a\xAD"
        "b",
        Red);
    EXPECT_EQ(View->VisualLineText(0), "a-b");
    View->Select(1, 2);
    EXPECT_EQ(View->SelectedText(), QString(QChar(0x00AD)));
}

TEST_F(MonitorViewTest, SelectionCopiesThroughTheCodePage) {
    View->Append("ab\n\xE8\x8A", Red);
    View->Select(1, 5);
    EXPECT_EQ(View->SelectedText(), QString::fromUtf16(u"b\nčŠ"));
    QApplication::clipboard()->clear();
    View->CopySelection();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf16(u"b\nčŠ"));

    View->Select(0, 1);
    QTest::keyClick(View.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "a");
}

TEST_F(MonitorViewTest, ContextMenuCopiesOnlyWithASelection) {
    View->Append("hello world", Red);
    std::unique_ptr<QMenu> menu(View->CreateContextMenu(nullptr));
    ASSERT_EQ(menu->actions().size(), 1);
    QAction* copy = menu->actions().first();
    EXPECT_EQ(copy->text(), "Copy");
    EXPECT_FALSE(copy->isEnabled());

    View->Select(6, 11);
    menu.reset(View->CreateContextMenu(nullptr));
    copy = menu->actions().first();
    ASSERT_TRUE(copy->isEnabled());
    QApplication::clipboard()->clear();
    copy->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "world");
}

TEST_F(MonitorViewTest, MouseDragSelectsAcrossRows) {
    const int columns = View->Columns();
    View->Append(std::string(static_cast<std::size_t>(columns), 'a') + "bcdefgh", Red);
    SendMouse(QEvent::MouseButtonPress, PointAt(0, 2), Qt::LeftButton);
    SendMouse(QEvent::MouseMove, PointAt(1, 1), Qt::LeftButton);
    EXPECT_EQ(View->SelectionEnd(), static_cast<std::size_t>(columns) + 1);
    SendMouse(QEvent::MouseButtonRelease, PointAt(1, 3), Qt::NoButton);
    EXPECT_EQ(View->SelectionStart(), 2u);
    EXPECT_EQ(View->SelectedText(), QString(columns - 2, u'a') + "bcd");
}

TEST_F(MonitorViewTest, DoubleClickSelectsAWord) {
    View->Append("41 42 43", Red);
    SendMouse(QEvent::MouseButtonDblClick, PointAt(0, 4), Qt::LeftButton);
    EXPECT_EQ(View->SelectedText(), "42");
}

bool HasPixel(const QImage& image, const std::function<bool(QColor)>& wanted) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (wanted(image.pixelColor(x, y))) return true;
    return false;
}

bool Reddish(QColor c) { return c.red() > 128 && c.green() < 64 && c.blue() < 64; }
bool Greenish(QColor c) { return c.green() > 128 && c.red() < 64 && c.blue() < 64; }

TEST_F(MonitorViewTest, PaintDrawsTheVisibleRowsInTheirColours) {
    View->Append("RRRRRRRRRR\n", Red);
    View->Append(Lines(40), Green);
    View->Append(std::string("\x01\xFF\x81", 3), Green);
    ASSERT_TRUE(WaitForScrollBar(true));

    QImage top = View->viewport()->grab().toImage();
    EXPECT_TRUE(HasPixel(top, Reddish));
    EXPECT_TRUE(HasPixel(top, Greenish));
    EXPECT_EQ(top.pixelColor(top.width() - 1, top.height() - 1), QColor(Qt::black));

    View->ScrollLines(1000);
    QImage bottom = View->viewport()->grab().toImage();
    EXPECT_FALSE(HasPixel(bottom, Reddish)) << "the red first line is scrolled out of sight";
    EXPECT_TRUE(HasPixel(bottom, Greenish));

    View->Select(0, View->Size());
    const QColor highlight = View->palette().color(QPalette::Highlight);
    QImage selected = View->viewport()->grab().toImage();
    EXPECT_TRUE(HasPixel(selected, [&](QColor c) { return c == highlight; }));
    EXPECT_FALSE(View->grab().isNull());
}

// A view redraws only the rows a frame changed, and its scroll bar only
// where the thumb moved; what is on screen must stay what a paint of the
// whole view would show, whatever the appends, scrolls and trims between
// frames.
TEST_F(MonitorViewTest, EachFrameLeavesTheScreenAsAWholePaintWouldDrawIt) {
    View->SetMaxBytes(600);
    const auto onScreen = [&](QWidget* part) {
        const QPoint at = part->mapTo(View.get(), QPoint(0, 0));
        return View->screen()
            ->grabWindow(View->winId(), at.x(), at.y(), part->width(), part->height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    };
    const auto drawnAfresh = [](QWidget* part) { return part->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    const QRgb colours[] = {Red, Green, Blue, White};
    for (int frame = 0; frame < 60; ++frame) {
        std::string piece(static_cast<std::size_t>(7 + frame * 13 % 90), static_cast<char>('A' + frame % 26));
        if (frame % 4 == 1) piece += '\n';
        View->Append(piece, colours[frame % 4]);
        if (frame == 30) View->ScrollLines(-3);  // the user looks back for a moment
        if (frame != 30) View->ScrollLines(View->LineCount() - View->FirstVisibleLine() - 6);
        QTest::qWait(TMonitorView::RepaintIntervalMs + 10);
        ASSERT_EQ(onScreen(View->viewport()), drawnAfresh(View->viewport())) << "text, frame " << frame;
        if (View->verticalScrollBar()->isVisible()) {
            ASSERT_EQ(onScreen(View->verticalScrollBar()), drawnAfresh(View->verticalScrollBar()))
                << "scroll bar, frame " << frame;
        }
    }
}

TEST_F(MonitorViewTest, FindMatchesAcrossColourRunsAndWrappedRowsButNotLines) {
    const auto columns = static_cast<std::size_t>(View->Columns());
    // "needle" starts three characters before the first row's end and ends
    // on the next row, in two colours.
    View->Append(std::string(columns - 3, '.') + "NEE", Red);
    View->Append("dle\nA\nB", Green);
    ASSERT_EQ(View->VisualLineText(0).right(3), "NEE");
    ASSERT_TRUE(View->FindNext("needle", true, false));
    EXPECT_EQ(View->SelectedText(), "NEEdle");
    EXPECT_FALSE(View->FindNext("needle", true, true)) << "with case it does not match";
    EXPECT_EQ(View->SelectedText(), "NEEdle") << "not found leaves the selection";
    EXPECT_FALSE(View->FindNext("A B", true, false)) << "a line feed is no blank";
    // Backward from the match wraps round to the text's last "e", forward
    // from there to its first.
    EXPECT_TRUE(View->FindNext("e", false, false));
    EXPECT_EQ(View->SelectionStart(), columns + 2);
    EXPECT_TRUE(View->FindNext("e", true, false));
    EXPECT_EQ(View->SelectionStart(), columns - 2);
}

TEST_F(MonitorViewTest, AHeldMatchStaysInSightWhileTheHistoryDropsItsOldestLines) {
    View->SetMaxBytes(4000);
    for (int line = 0; line < 100; ++line) View->Append("line " + std::to_string(line) + "\n", White);
    View->Append("the mark\n", Red);
    for (int line = 100; line < 200; ++line) View->Append("line " + std::to_string(line) + "\n", White);
    ASSERT_TRUE(View->FindNext("MARK", false, false));
    EXPECT_EQ(View->SelectedText(), "mark");
    EXPECT_TRUE(View->Held());
    const QString top = View->VisualLineText(View->FirstVisibleLine());

    // Enough for the oldest lines to go, the match's line among the kept.
    for (int line = 200; line < 400; ++line) View->Append("line " + std::to_string(line) + "\n", White);
    EXPECT_EQ(View->SelectedText(), "mark");
    EXPECT_EQ(View->VisualLineText(View->FirstVisibleLine()), top) << "the text in sight stays";
    // Once the match's line has gone, nothing is selected and finding goes on.
    for (int line = 400; line < 800; ++line) View->Append("line " + std::to_string(line) + "\n", White);
    EXPECT_EQ(View->SelectedText(), "");
    EXPECT_FALSE(View->FindNext("mark", true, false));
    EXPECT_TRUE(View->FindNext("line 799", true, false));

    // Scrolling back to the end ends the hold.
    View->ScrollLines(View->LineCount());
    EXPECT_FALSE(View->Held());
}

// ---- the text cursor's rest ----

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
