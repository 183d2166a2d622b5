#include "widgets/ColorComboBox.h"

#include <QPainter>
#include <QStyleOptionComboBox>
#include <QStyledItemDelegate>
#include <QStylePainter>

namespace {

constexpr int SwatchRole = Qt::UserRole;

void DrawSwatch(QPainter& painter, const QRect& area, TColor color) {
    const QRect swatch = area.adjusted(2, 2, -3, -3);
    painter.save();
    painter.setPen(Qt::black);
    painter.setBrush(ColorToQColor(color));
    painter.drawRect(swatch);
    painter.restore();
}

// Each entry is its colour alone; the entry under the mouse or selected gets
// the highlight as a frame around the swatch.
class TSwatchDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const bool marked = option.state & (QStyle::State_Selected | QStyle::State_MouseOver);
        painter->fillRect(option.rect, option.palette.brush(marked ? QPalette::Highlight : QPalette::Base));
        DrawSwatch(*painter, option.rect, index.data(SwatchRole).toInt());
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QStyledItemDelegate::sizeHint(option, index).expandedTo(QSize(40, 16));
    }
};

}  // namespace

const std::array<TColor, 16>& TColorComboBox::StandardColors() {
    static const std::array<TColor, 16> colors{0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080,
                                               0x808000, 0x808080, 0xC0C0C0, 0x0000FF, 0x00FF00, 0x00FFFF,
                                               0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
    return colors;
}

TColorComboBox::TColorComboBox(QWidget* parent) : QComboBox(parent) {
    setItemDelegate(new TSwatchDelegate(this));
    for (TColor color : StandardColors()) addItem(QString(), color);
    connect(this, &QComboBox::activated, this, &TColorComboBox::Picked);
    SetValue(ColorBlack);
}

void TColorComboBox::SetValue(TColor value) {
    Held = value;
    setCurrentIndex(findData(value, SwatchRole));
    update();
}

void TColorComboBox::Picked(int index) {
    if (index < 0) return;
    Held = itemData(index, SwatchRole).toInt();
    update();
    emit ValueChanged(Held);
}

void TColorComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    option.currentText.clear();
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    DrawSwatch(painter, field, Held);
}
