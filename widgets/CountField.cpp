#include "widgets/CountField.h"

#include <QEvent>
#include <QGlyphRun>
#include <QPainter>
#include <QStyleOptionFrame>
#include <QTextLayout>

#include <algorithm>
#include <utility>

namespace {

// QLineEdit's own gap between its contents rectangle and the text.
constexpr int TextMargin = 2;

bool AllDigits(const QString& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

TCountField::TCountField(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
    // Digits need no shaping: each new number is laid out from the font's
    // own tables, without a shaping pass. Only this is set; the rest of the
    // font still comes from the window.
    QFont plain;
    plain.setStyleStrategy(QFont::PreferNoShaping);
    setFont(plain);
    followTimer_.setSingleShot(true);
    connect(&followTimer_, &QTimer::timeout, this, [this] { Follow(); });
    // A text set from outside replaces any number shown ahead of it.
    connect(this, &QLineEdit::textChanged, this, [this] {
        ahead_ = QString();
        followTimer_.stop();
    });
}

void TCountField::ShowNumber(qint64 number) {
    QString digits = QString::number(number);
    if (digits == ShownText()) return;
    // Ahead of the text only where the field draws itself: QLineEdit's own
    // paint draws the text.
    if (digits == text() || !drewQuickly_ || !followed_.isValid() || followed_.elapsed() >= FollowMs) {
        ahead_ = QString();
        followTimer_.stop();
        if (digits == text()) {
            update();
        } else {
            setText(digits);
            followed_.start();
        }
        return;
    }
    ahead_ = std::move(digits);
    update();
    // Numbers a frame apart make the text follow in ShowNumber; the timer is
    // for the last of them.
    constexpr int SlackMs = 30;
    if (!followTimer_.isActive()) followTimer_.start(static_cast<int>(FollowMs - followed_.elapsed()) + SlackMs);
}

void TCountField::SetNumber(qint64 number) {
    ShowNumber(number);
    Follow();
}

void TCountField::Follow() {
    if (ahead_.isNull()) return;
    setText(std::exchange(ahead_, QString()));
    followed_.start();
}

bool TCountField::event(QEvent* event) {
    // Whatever the user does with the field sees the number on screen.
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::ShortcutOverride:
        case QEvent::FocusIn:
        case QEvent::ContextMenu:
        case QEvent::InputMethod: Follow(); break;
        default: break;
    }
    return QLineEdit::event(event);
}

void TCountField::paintEvent(QPaintEvent* event) {
    drewQuickly_ = PaintQuickly();
    if (drewQuickly_) return;
    Follow();
    QLineEdit::paintEvent(event);
    // QLineEdit keeps where it scrolled its text and centred its line for
    // its mouse and cursor work: once it has laid out a number that fits,
    // that stays right for every other number that fits in the same place.
    QStyleOptionFrame option;
    const QRect contents = Contents(option);
    settledIn_ = Plain() && Fits(contents) ? contents : QRect();
}

void TCountField::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) digitsKnown_ = false;
    if (event->type() == QEvent::StyleChange) {
        panel_ = {};
        lookKnown_ = false;
    }
    if (event->type() == QEvent::FontChange) settledIn_ = QRect();
}

void TCountField::childEvent(QChildEvent* event) {
    QLineEdit::childEvent(event);
    lookKnown_ = false;
}

bool TCountField::Plain() const {
    const Qt::Alignment aligned = QStyle::visualAlignment(layoutDirection(), alignment());
    // Asking for the clear button searches the children by name, and asking
    // whether the style is a style sheet's walks its class names: both are
    // asked again only when the children or the style have changed.
    if (!lookKnown_) {
        clearButton_ = isClearButtonEnabled();
        styleSheet_ = style()->inherits("QStyleSheetStyle");
        lookKnown_ = true;
    }
    return AllDigits(ShownText()) && isReadOnly() && !hasSelectedText() && echoMode() == Normal &&
           inputMask().isEmpty() && !clearButton_ && actions().isEmpty() && textMargins().isNull() &&
           (aligned & Qt::AlignHorizontal_Mask & ~Qt::AlignAbsolute) == Qt::AlignLeft &&
           (aligned & Qt::AlignVertical_Mask) == Qt::AlignVCenter && !styleSheet_;
}

QRect TCountField::Contents(QStyleOptionFrame& option) const {
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
}

bool TCountField::Fits(const QRect& contents) {
    if (!digitsKnown_) LearnDigits();
    if (!digits_.Usable) return false;
    qreal width = 0;
    for (const QChar c : ShownText()) width += digits_.Advance[c.unicode() - u'0'];
    // Text wider than the line scrolls in QLineEdit's paint.
    return qRound(width) + 1 <= contents.width() - 2 * TextMargin;
}

bool TCountField::PaintQuickly() {
    if (!settledIn_.isValid() || !Plain()) return false;
    QStyleOptionFrame option;
    const QRect contents = Contents(option);
    if (contents != settledIn_ || !Fits(contents)) return false;
    glyphs_.resize(0);
    positions_.resize(0);
    qreal x = 0;
    for (const QChar c : ShownText()) {
        const int digit = c.unicode() - u'0';
        glyphs_.append(digits_.Glyph[digit]);
        positions_.append(QPointF(x, 0));
        x += digits_.Advance[digit];
    }

    QPainter painter(this);
    painter.drawPixmap(0, 0, Panel(option));
    painter.setClipRect(contents);
    painter.setPen(palette().text().color());
    // Centred as QLineEdit centres its line, the baseline where the laid-out
    // line puts it.
    const int top = contents.y() + (contents.height() - digits_.Height + 1) / 2;
    const qreal baseline = top - qRound(digits_.Ascent) + digits_.FontAscent + digits_.Ascent;
    QGlyphRun run;
    run.setRawFont(digits_.Font);
    run.setGlyphIndexes(glyphs_);
    run.setPositions(positions_);
    painter.drawGlyphRun(QPointF(contents.x() + TextMargin, baseline), run);
    return true;
}

void TCountField::LearnDigits() {
    digitsKnown_ = true;
    digits_ = {};
    // Every ordered pair of digits, laid out as QLineEdit lays out its text:
    // each digit must come out as its own glyph with the same advance in
    // every pair, or numbers cannot be put together from single digits.
    QString pairs;
    for (char first = '0'; first <= '9'; ++first)
        for (char second = '0'; second <= '9'; ++second) pairs.append(QChar(first)).append(QChar(second));
    QTextLayout layout(pairs, font());
    QTextOption option = layout.textOption();
    option.setTextDirection(Qt::LeftToRight);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    if (!line.isValid() || runs.size() != 1 || runs[0].glyphIndexes().size() != pairs.size()) return;

    const QList<quint32> glyphs = runs[0].glyphIndexes();
    const QList<QPointF> positions = runs[0].positions();
    std::array<bool, 10> seen{};
    for (qsizetype i = 0; i < pairs.size(); ++i) {
        const int digit = pairs[i].unicode() - u'0';
        const qreal end = i + 1 < pairs.size() ? positions[i + 1].x() : line.naturalTextWidth() + positions[0].x();
        const qreal advance = end - positions[i].x();
        if (seen[digit] && (glyphs[i] != digits_.Glyph[digit] || advance != digits_.Advance[digit])) return;
        seen[digit] = true;
        digits_.Glyph[digit] = glyphs[i];
        digits_.Advance[digit] = advance;
    }
    // QLineEdit centres the taller of the font's height and the text's.
    const QFontMetrics metrics(font());
    if (metrics.boundingRect(QStringLiteral("0123456789")).height() > metrics.height()) return;
    digits_.Height = metrics.height();
    digits_.FontAscent = metrics.ascent();
    digits_.Ascent = line.ascent();
    digits_.Font = runs[0].rawFont();
    digits_.Usable = true;
}

const QPixmap& TCountField::Panel(const QStyleOptionFrame& option) {
    const qint64 paletteKey = option.palette.cacheKey();
    const qreal pixelRatio = devicePixelRatioF();
    if (panel_.Picture.isNull() || panel_.Size != size() || panel_.State != option.state ||
        panel_.LineWidth != option.lineWidth || panel_.Features != option.features || panel_.PaletteKey != paletteKey ||
        panel_.Style != style() || panel_.PixelRatio != pixelRatio) {
        QPixmap picture(size() * pixelRatio);
        picture.setDevicePixelRatio(pixelRatio);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
        painter.end();
        panel_ = {picture, size(), option.state, option.lineWidth, option.features, paletteKey, style(), pixelRatio};
    }
    return panel_.Picture;
}
