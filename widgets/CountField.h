#pragma once
// A read-only field for a count that changes once a frame while data arrives.

#include <QLineEdit>
#include <QPixmap>
#include <QRawFont>
#include <QStyle>
#include <QStyleOptionFrame>

#include <array>

// It is a QLineEdit in every way (text(), selection, focus, accessibility),
// but while it shows a plain number that fits, it draws itself from a panel
// it has drawn before and the font's digit glyphs. QLineEdit's own paint
// draws the styled panel anew and lays the text out once more for each new
// number, which on a trickling line was a large share of the window's work
// in a frame. Anything else (a selection, an editable field, a number that
// does not fit, a font whose digits change with their neighbours) is drawn
// by QLineEdit.
class TCountField : public QLineEdit {
public:
    explicit TCountField(const QString& text, QWidget* parent = nullptr);

    // Whether the last paint took the quick way (for tests and benchmarks).
    bool DrewQuickly() const { return drewQuickly_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The digits as the font lays them out: each one glyph whose advance is
    // the same whatever digit stands beside it.
    struct TDigits {
        bool Usable = false;
        QRawFont Font;
        std::array<quint32, 10> Glyph{};
        std::array<qreal, 10> Advance{};
        qreal Ascent = 0;  // the laid-out line's ascent
        int Height = 0;    // the text height QLineEdit centres on
    };
    // The panel as the style draws it for one state of the field.
    struct TPanel {
        QPixmap Picture;
        QSize Size;
        QStyle::State State;
        int LineWidth = 0;  // none without a frame
        QStyleOptionFrame::FrameFeatures Features;
        qint64 PaletteKey = 0;
        const QStyle* Style = nullptr;
        qreal PixelRatio = 0;
    };

    bool Plain() const;
    QRect Contents(QStyleOptionFrame& option) const;
    bool Fits(const QRect& contents);
    bool PaintQuickly();
    void LearnDigits();
    const QPixmap& Panel(const QStyleOptionFrame& option);

    TDigits digits_;
    bool digitsKnown_ = false;
    TPanel panel_;
    bool drewQuickly_ = false;
    // Where QLineEdit last laid out a number that fits itself; invalid
    // until it has.
    QRect settledIn_;
};
