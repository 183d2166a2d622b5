#include "tests/serial/GuiTestSupport.h"
#include "widgets/ColorComboBox.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QStyleOptionComboBox>

namespace {

using namespace kalvaro::test;

// The colour the closed box shows in the middle of its field.
QColor ShownColour(TColorComboBox& box) {
    QStyleOptionComboBox option;
    option.initFrom(&box);
    const QRect field =
        box.style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, &box);
    return box.grab().toImage().pixelColor(field.center());
}

class ColorComboBoxTest : public testing::Test {
protected:
    void SetUp() override {
        Box.setGeometry(100, 100, 57, 22);
        Box.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Box));
    }
    TColorComboBox Box;
};

TEST_F(ColorComboBoxTest, ListsTheSixteenStandardColoursInOrderWithoutNames) {
    const TColor expected[] = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0x808080,
                               0xC0C0C0, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
    ASSERT_EQ(Box.count(), 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(Box.itemData(i).toInt(), expected[i]) << i;
        EXPECT_TRUE(Box.itemText(i).isEmpty()) << i;
    }
}

TEST_F(ColorComboBoxTest, HoldsAValueOutsideTheListWithNoSwatchMarked) {
    Box.SetValue(0x00CC00);
    EXPECT_EQ(Box.Value(), 0x00CC00);
    EXPECT_EQ(Box.currentIndex(), -1);
    EXPECT_EQ(ShownColour(Box), QColor(0, 204, 0));

    Box.SetValue(0x0000FF);
    EXPECT_EQ(Box.Value(), 0x0000FF);
    EXPECT_EQ(Box.currentIndex(), 9);
    EXPECT_EQ(ShownColour(Box), QColor(255, 0, 0));
}

TEST_F(ColorComboBoxTest, APickSetsTheValueAndTellsOnce) {
    Box.SetValue(0x123456);
    QSignalSpy changed(&Box, &TColorComboBox::ValueChanged);
    PickEntry(&Box, 14);
    EXPECT_EQ(Box.Value(), 0xFFFF00);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toInt(), 0xFFFF00);
    EXPECT_EQ(ShownColour(Box), QColor(0, 255, 255));

    Box.SetValue(0x000080);
    EXPECT_EQ(changed.count(), 1) << "setting the value is no pick";
}

}  // namespace
