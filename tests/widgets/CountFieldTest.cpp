#include "tests/serial/GuiTestSupport.h"
#include "widgets/CountField.h"

#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

namespace {

using namespace kalvaro::test;

// A count field and a plain line edit set up alike, side by side in one
// shown window, so that both are drawn in the same state.
class CountFieldTest : public testing::Test {
protected:
    void SetUp() override {
        for (QLineEdit* field : {static_cast<QLineEdit*>(&Count), &Plain}) {
            field->setParent(&Window);
            field->setReadOnly(true);
            field->setFocusPolicy(Qt::NoFocus);
        }
        Count.setGeometry(10, 10, 57, 21);
        Plain.setGeometry(80, 10, 57, 21);
        Window.resize(160, 40);
        Window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    }

    // Both fields show text: they must look alike, and the count field must
    // have drawn itself as quickly says.
    void Expect(const char* text, bool quickly) {
        Count.setText(text);
        Plain.setText(text);
        EXPECT_LE(Difference(), 1) << text << " in " << Count.font().toString().toStdString();
        EXPECT_EQ(Count.DrewQuickly(), quickly) << text;
    }
    template <class Change>
    void Both(Change change) {
        change(static_cast<QLineEdit&>(Count));
        change(Plain);
    }
    static QImage Drawn(QLineEdit& field) {
        QImage image(field.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(0x80, 0x80, 0x80));
        field.render(&image);
        return image;
    }
    // The largest difference of one colour channel between the two drawings:
    // 0 or 1 where the panel's soft edges are put together in another order.
    int Difference() {
        const QImage count = Drawn(Count);
        const QImage plain = Drawn(Plain);
        int worst = 0;
        for (int y = 0; y < count.height(); ++y)
            for (int x = 0; x < count.width(); ++x) {
                const QRgb a = count.pixel(x, y);
                const QRgb b = plain.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                  std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
            }
        return worst;
    }

    QWidget Window;
    TCountField Count{QStringLiteral("0")};
    QLineEdit Plain;
};

TEST_F(CountFieldTest, DrawsItsNumberAsALineEditWould) {
    QFont large = Window.font();
    large.setPixelSize(15);
    large.setBold(true);
    for (const QFont& font : {Window.font(), large}) {
        Both([&](QLineEdit& field) { field.setFont(font); });
        Expect("1", false);  // the line edit lays out the first number in a new font itself
        for (const bool enabled : {true, false}) {
            Both([&](QLineEdit& field) { field.setEnabled(enabled); });
            for (const char* number : {"0", "10", "4711", "9081"}) Expect(number, true);
        }
    }
    // The comparison sees a digit out of place.
    Count.setText("124");
    Plain.setText("123");
    EXPECT_GT(Difference(), 1);
}

TEST_F(CountFieldTest, LeavesWhatItCannotDrawQuicklyToTheLineEdit) {
    // Too wide for the field: the line edit scrolls it, and puts it back
    // when a number fits again.
    Expect("2147483647", false);
    Expect("12", false);
    Expect("13", true);
    // A selection.
    Expect("4711", true);
    Both([](QLineEdit& field) { field.selectAll(); });
    EXPECT_LE(Difference(), 1);
    EXPECT_FALSE(Count.DrewQuickly());
    Both([](QLineEdit& field) { field.deselect(); });
    // Without its frame the field draws its panel and places its number anew.
    Expect("42", false);  // the line edit settles again after the selection
    Both([](QLineEdit& field) { field.setFrame(false); });
    Expect("44", false);
    Expect("43", true);
    Both([](QLineEdit& field) { field.setFrame(true); });
    // A clear button, or a style sheet, is the line edit's to draw, from the
    // first number after it came to the first after it went.
    Both([](QLineEdit& field) { field.setClearButtonEnabled(true); });
    Expect("45", false);
    Both([](QLineEdit& field) { field.setClearButtonEnabled(false); });
    Expect("46", false);
    Expect("47", true);
    Both([](QLineEdit& field) { field.setStyleSheet("QLineEdit { color: red; }"); });
    Expect("48", false);
    Both([](QLineEdit& field) { field.setStyleSheet(QString()); });
    Expect("49", false);
    Expect("50", true);
    // A new font is learnt anew: seven digits fit in a small one.
    QFont small = Window.font();
    small.setPixelSize(8);
    Both([&](QLineEdit& field) { field.setFont(small); });
    Expect("2147483", false);
    Expect("2147483", true);
}

// Numbers that come a frame apart are drawn as they come, while the text
// follows them a few times a second and catches up with the last at once
// when anyone reaches for the field.
TEST_F(CountFieldTest, DrawsEachNumberAtOnceWhileItsTextFollows) {
    Count.SetNumber(10);
    EXPECT_EQ(Count.text(), "10") << "a number set is the text at once";
    Plain.setText("10");
    ASSERT_LE(Difference(), 1);
    ASSERT_TRUE(Count.DrewQuickly());

    QSignalSpy texts(&Count, &QLineEdit::textChanged);
    for (int number = 11; number <= 30; ++number) Count.ShowNumber(number);
    EXPECT_EQ(Count.ShownText(), "30");
    EXPECT_LE(texts.count(), 1) << "the text does not follow every number";
    Plain.setText("30");
    EXPECT_LE(Difference(), 1) << "the newest number is what is drawn";
    EXPECT_TRUE(PumpUntil([&] { return Count.text() == "30"; })) << "the text follows the last number";
    EXPECT_EQ(texts.takeLast().at(0).toString(), "30");

    // A click, or any other reach for the field, finds the number shown.
    Count.ShowNumber(31);
    QTest::mouseClick(&Count, Qt::LeftButton);
    EXPECT_EQ(Count.text(), "31");
    Count.ShowNumber(32);
    Count.SetNumber(0);
    EXPECT_EQ(Count.text(), "0");
    EXPECT_EQ(Count.ShownText(), "0");
    // A text set from outside replaces the number shown ahead of it.
    Count.ShowNumber(33);
    Count.setText("7");
    EXPECT_EQ(Count.ShownText(), "7");
    PumpFor(std::chrono::milliseconds(TCountField::FollowMs * 2));
    EXPECT_EQ(Count.text(), "7");
}

}  // namespace
