#pragma once
// TColorComboBox: a drop-down list of the 16 standard colours, drawn as
// swatches without names, that holds one colour value (ColorValue.h).
//
// The value is whatever was last set or picked: a value that is not one of
// the 16 (port 1's default green 0x00CC00, say) is held and returned as it
// is, with no entry of the list marked; the closed box always shows the held
// colour. A pick by the user sets the value and emits ValueChanged; SetValue
// does not emit.
//
// GUI thread only, like every widget.

#include "widgets/ColorValue.h"

#include <QComboBox>

#include <array>

class TColorComboBox : public QComboBox {
    Q_OBJECT

public:
    // The list, in order: black, maroon, green, olive, navy, purple, teal,
    // grey, silver, red, lime, yellow, blue, fuchsia, aqua, white.
    static const std::array<TColor, 16>& StandardColors();

    explicit TColorComboBox(QWidget* parent = nullptr);

    TColor Value() const { return Held; }
    void SetValue(TColor value);

signals:
    void ValueChanged(TColor value);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Picked(int index);

    TColor Held = ColorBlack;
};
