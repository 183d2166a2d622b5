#include "tests/serial/GuiTestSupport.h"
#include "widgets/CountField.h"

#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QLineEdit>
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

    // Both fields showing text, each drawn over the same grey.
    void Show(const QString& text) {
        Count.setText(text);
        Plain.setText(text);
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
    const QFont base = Window.font();
    QFont large = base;
    large.setPixelSize(15);
    large.setBold(true);
    for (const QFont& font : {base, large}) {
        Count.setFont(font);
        Plain.setFont(font);
        // The line edit lays out the first number in a new font itself.
        Show("1");
        EXPECT_LE(Difference(), 1);
        for (const bool enabled : {true, false}) {
            Count.setEnabled(enabled);
            Plain.setEnabled(enabled);
            for (const char* number : {"0", "7", "10", "4711", "9081"}) {
                Show(number);
                EXPECT_LE(Difference(), 1) << number << " in " << font.toString().toStdString();
                EXPECT_TRUE(Count.DrewQuickly()) << number;
            }
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
    Show("2147483647");
    EXPECT_LE(Difference(), 1);
    EXPECT_FALSE(Count.DrewQuickly());
    Show("12");
    EXPECT_LE(Difference(), 1);
    EXPECT_FALSE(Count.DrewQuickly());
    Show("13");
    EXPECT_LE(Difference(), 1);
    EXPECT_TRUE(Count.DrewQuickly());
    // A selection, and text that is not a plain number.
    Show("4711");
    Count.selectAll();
    Plain.selectAll();
    EXPECT_LE(Difference(), 1);
    EXPECT_FALSE(Count.DrewQuickly());
    Count.deselect();
    Plain.deselect();
    Show("-1");
    EXPECT_LE(Difference(), 1);
    EXPECT_FALSE(Count.DrewQuickly());
    // Without its frame the field draws its panel and places its number anew.
    Show("42");
    EXPECT_LE(Difference(), 1);
    Count.setFrame(false);
    Plain.setFrame(false);
    for (const bool quickly : {false, true}) {
        Show(quickly ? "43" : "44");
        EXPECT_LE(Difference(), 1);
        EXPECT_EQ(Count.DrewQuickly(), quickly);
    }
    Count.setFrame(true);
    Plain.setFrame(true);
    // A new font is learnt anew: seven digits fit in a small one.
    QFont font = Window.font();
    font.setPixelSize(8);
    Count.setFont(font);
    Plain.setFont(font);
    for (const bool quickly : {false, true}) {
        Show("2147483");
        EXPECT_LE(Difference(), 1);
        EXPECT_EQ(Count.DrewQuickly(), quickly);
    }
}

}  // namespace
