#pragma once
// A read-only field for a count that changes once a frame while data arrives.

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QRawFont>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>

#include <array>

// It is a QLineEdit in every way (text(), selection, focus, accessibility),
// but while it shows a plain number that fits, it draws itself from a panel
// it has drawn before and the font's digit glyphs. QLineEdit's own paint
// draws the styled panel anew and lays the text out once more for each new
// number, which on a trickling line was a large share of the window's work
// in a frame. Anything else (a selection, an editable field, a number that
// does not fit, a font whose digits change with their neighbours) is drawn
// by QLineEdit.
//
// A number that changes once a frame is drawn in that frame, but the line
// edit's text follows it only every FollowMs: QLineEdit lays its text out
// anew for each setText, which cost as much as drawing it. text(),
// textChanged and the accessible value are at most that far behind while
// the number keeps changing, and catch up as soon as it stops or the user
// reaches for the field.
class TCountField : public QLineEdit {
public:
    static constexpr int FollowMs = 100;

    explicit TCountField(const QString& text, QWidget* parent = nullptr);

    // Shows number from the next paint on; the text follows within FollowMs.
    void ShowNumber(qint64 number);
    // Shows number, and makes it the text at once.
    void SetNumber(qint64 number);
    // What the field shows: its text, or a newer number the text has yet to
    // follow.
    QString ShownText() const { return ahead_.isNull() ? text() : ahead_; }
    // Whether the last paint took the quick way (for tests and benchmarks).
    bool DrewQuickly() const { return drewQuickly_; }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void childEvent(QChildEvent* event) override;

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
        int FontAscent = 0;
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

    // Makes the number shown the text, if it is not yet.
    void Follow();
    bool Plain() const;
    QRect Contents(QStyleOptionFrame& option) const;
    bool Fits(const QRect& contents);
    bool PaintQuickly();
    void LearnDigits();
    const QPixmap& Panel(const QStyleOptionFrame& option);

    TDigits digits_;
    bool digitsKnown_ = false;
    TPanel panel_;
    // Whether the field has a clear button and a style sheet's style; valid
    // while lookKnown_.
    mutable bool lookKnown_ = false;
    mutable bool clearButton_ = false;
    mutable bool styleSheet_ = false;
    bool drewQuickly_ = false;
    // Where QLineEdit last laid out a number that fits itself; invalid
    // until it has.
    QRect settledIn_;
    // The number shown ahead of the text; null when the text is what shows.
    QString ahead_;
    QElapsedTimer followed_;  // since the text last followed a number
    QTimer followTimer_;      // the text follows a number that stopped changing
    // Reused by each quick paint.
    QList<quint32> glyphs_;
    QList<QPointF> positions_;
};
