#include "widgets/MonitorView.h"

#include <QTimer>

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr QRgb DefaultColour = 0xFFFFFFFF;

// Runs compare colours without alpha: callers hand over 24-bit values too.
QRgb Opaque(QRgb colour) { return colour | 0xFF000000u; }

int ClampToInt(std::size_t value) { return static_cast<int>(std::min<std::size_t>(value, INT_MAX)); }

bool IsControl(char16_t ch) { return ch < 0x20 || (ch >= 0x7F && ch < 0xA0); }

// Whether the glyph puts no ink anywhere, as the font engine renders it.
bool IsBlank(const QRawFont& font, quint32 glyph) {
    const QImage mask = font.alphaMapForGlyph(glyph, QRawFont::PixelAntialiasing);
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            if (qAlpha(mask.pixel(x, y)) != 0 || qGray(mask.pixel(x, y)) != 0) return false;
    return true;
}

}  // namespace

// The view's vertical scroll bar. Its range and value change with every
// append, but in a long history the thumb moves by less than a pixel in most
// frames: a change of range or value is only noted, and the view's repaint
// (ShowChanges) redraws the bar when its thumb or its ends look different
// from what it last drew.
class TFrameScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

    void ShowChanges() {
        const TLooks now = Looks();
        if (!Drawn || Drawn->AtMinimum != now.AtMinimum || Drawn->AtMaximum != now.AtMaximum)
            update();
        else if (Drawn->Thumb != now.Thumb)
            // Only the thumb moved: what it left and what it covers now, with
            // the outline the style draws around it.
            update(Drawn->Thumb.united(now.Thumb).adjusted(-2, -2, 2, 2));
    }

protected:
    void sliderChange(SliderChange change) override {
        if (change == SliderOrientationChange) QScrollBar::sliderChange(change);
    }
    void paintEvent(QPaintEvent* event) override {
        Drawn = Looks();
        QScrollBar::paintEvent(event);
    }

private:
    struct TLooks {
        QRect Thumb;
        bool AtMinimum;
        bool AtMaximum;
        bool operator==(const TLooks&) const = default;
    };
    TLooks Looks() const {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
                value() == minimum(), value() == maximum()};
    }

    std::optional<TLooks> Drawn;
};

TMonitorView::TMonitorView(TCodePage codePage, QWidget* parent) : QAbstractScrollArea(parent), CodePage(codePage) {
    Bar = new TFrameScrollBar(Qt::Vertical);
    setVerticalScrollBar(Bar);
    // The view shows or hides its bar itself (UpdateScrollBarShown); the
    // area's own check after each change of range would lay the view out
    // again once a frame while data arrives.
    disconnect(Bar, SIGNAL(rangeChanged(int, int)), this, SLOT(_q_showOrHideScrollBars()));
    for (int byte = 0; byte < 256; ++byte) {
        const char16_t ch = CodePageToUnicode(codePage, static_cast<unsigned char>(byte));
        Glyphs[byte] = IsControl(ch) ? QChar(u' ') : QChar(ch);
    }
    // A soft hyphen takes no room inside a string; shown as a hyphen it keeps
    // its column like every other byte.
    Glyphs[0xAD] = QChar(u'-');
    for (int byte = 0; byte < 256; ++byte) FoldedGlyphs[byte] = Glyphs[byte].toLower();
    FoldedGlyphs['\n'] = QChar(u'\uFFFF');

    QPalette colours = palette();
    colours.setColor(QPalette::Base, Qt::black);
    colours.setColor(QPalette::Window, Qt::black);
    colours.setColor(QPalette::Text, Qt::white);
    setPalette(colours);
    // The scroll bar keeps the application's look; only the text area is black.
    verticalScrollBar()->setPalette(QGuiApplication::palette());

    QFont courier(QStringLiteral("Courier New"));
    courier.setPixelSize(13);
    courier.setStyleHint(QFont::TypeWriter);
    setFont(courier);

    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setSingleStep(1);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &TMonitorView::UpdateScrollBarShown);
    // Back at the end, the view follows the newest text again.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        if (Holding && EndInSight()) SetHeld(false);
    });
    viewport()->setCursor(Qt::IBeamCursor);
    // paintEvent fills what it paints: Qt need not clear it first.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    UpdateMetrics();

    RepaintTimer.setSingleShot(true);
    RepaintTimer.setInterval(RepaintIntervalMs);
    connect(&RepaintTimer, &QTimer::timeout, this, &TMonitorView::Repaint);
}

void TMonitorView::Append(std::string_view bytes, QRgb colour) {
    if (!bytes.empty()) {
        const std::size_t start = Text.size();
        Text.append(bytes);
        const QRgb opaque = Opaque(colour);
        if (Runs.empty() || Runs.back().Colour != opaque) Runs.push_back({start, opaque});

        const char* base = Text.data();
        std::size_t pos = start;
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): a byte search in a range, no string is made
        while (const void* found = std::memchr(base + pos, '\n', Text.size() - pos)) {
            const std::size_t lineFeed = static_cast<std::size_t>(static_cast<const char*>(found) - base);
            RowStarts.push_back(RowStarts.back() + RowsOf(lineFeed - LineStarts.back()));
            LineStarts.push_back(lineFeed + 1);
            pos = lineFeed + 1;
        }
        TrimIfOverBound();
        UpdateScrollRange();
        ScheduleRepaint();
    }
    emit TextChanged();
}

void TMonitorView::Clear() {
    std::string().swap(Text);
    std::vector<TRun>().swap(Runs);
    LineStarts.assign(1, 0);
    RowStarts.assign(1, 0);
    Anchor = Cursor = 0;
    Selecting = false;
    SetHeld(false);
    PaintWhole = true;
    UpdateScrollRange();
    ScheduleRepaint();
    emit TextChanged();
}

std::string TMonitorView::PlainText() const {
    std::string out;
    out.reserve(Text.size() + LineStarts.size() - 1);
    std::size_t from = 0;
    for (std::size_t line = 1; line < LineStarts.size(); ++line) {
        const std::size_t lineFeed = LineStarts[line] - 1;
        out.append(Text, from, lineFeed - from);
        out.append("\r\n");
        from = LineStarts[line];
    }
    out.append(Text, from, std::string::npos);
    return out;
}

QRgb TMonitorView::ColourAt(std::size_t index) const {
    if (index >= Text.size()) return DefaultColour;
    return Runs[RunAt(index)].Colour;
}

int TMonitorView::LineCount() const {
    const bool lastLineEmpty = LineStarts.back() == Text.size();
    return ClampToInt(lastLineEmpty ? RowStarts.back() : TotalRows());
}

int TMonitorView::FirstVisibleLine() const { return verticalScrollBar()->value(); }

void TMonitorView::ScrollLines(int delta) {
    QScrollBar* bar = verticalScrollBar();
    const long long wanted = static_cast<long long>(bar->value()) + delta;
    bar->setValue(static_cast<int>(std::clamp<long long>(wanted, bar->minimum(), bar->maximum())));
}

int TMonitorView::VisibleLines() const { return std::max(1, viewport()->height() / LineHeight); }

QString TMonitorView::VisualLineText(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= TotalRows()) return {};
    const TSpan span = RowSpan(static_cast<std::size_t>(row));
    return Shown(span.Begin, span.End);
}

void TMonitorView::SetMaxBytes(std::size_t maxBytes) {
    MaxBytesKept = std::max<std::size_t>(1, maxBytes);
    if (!TrimIfOverBound()) return;
    UpdateScrollRange();
    Bar->ShowChanges();
    viewport()->update();
    emit TextChanged();
}

void TMonitorView::Select(std::size_t from, std::size_t to) {
    Anchor = std::min(from, Text.size());
    Cursor = std::min(to, Text.size());
    Selecting = false;
    viewport()->update();
}

std::size_t TMonitorView::SelectionStart() const { return std::min({Anchor, Cursor, Text.size()}); }

std::size_t TMonitorView::SelectionEnd() const { return std::min(std::max(Anchor, Cursor), Text.size()); }

QString TMonitorView::SelectedText() const {
    const std::size_t from = SelectionStart();
    const std::u16string text = BytesToUnicode(CodePage, std::string_view(Text).substr(from, SelectionEnd() - from));
    return QString::fromStdU16String(text);
}

void TMonitorView::CopySelection() const {
    if (SelectionStart() < SelectionEnd()) QGuiApplication::clipboard()->setText(SelectedText());
}

QMenu* TMonitorView::CreateContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    QAction* copy = menu->addAction(QStringLiteral("Copy"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(SelectionStart() < SelectionEnd());
    connect(copy, &QAction::triggered, this, [this] { CopySelection(); });
    if (MenuExtender) MenuExtender(*menu);
    return menu;
}

void TMonitorView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect area = event->rect();
    // A paint of the whole view shows the text as it is now; a part painted
    // from a text that has changed since the last repaint (an expose between
    // frames) leaves the rest behind it, and the next repaint draws all.
    if (area.contains(viewport()->rect())) {
        PaintedTop = FirstVisibleLine();
        PaintedEnd = Text.size();
        PaintedTextRows = TextRowsInSight();
        PaintWhole = false;
    } else if (FirstVisibleLine() != PaintedTop || Text.size() != PaintedEnd) {
        PaintWhole = true;
    }
    painter.fillRect(area, Qt::black);
    painter.setFont(font());

    const std::size_t first = static_cast<std::size_t>(FirstVisibleLine());
    const std::size_t total = TotalRows();
    const std::size_t selectionStart = SelectionStart();
    const std::size_t selectionEnd = SelectionEnd();
    const QColor highlight = palette().color(QPalette::Highlight);
    const QColor highlightedText = palette().color(QPalette::HighlightedText);

    for (int screenRow = 0; first + screenRow < total; ++screenRow) {
        const int top = screenRow * LineHeight;
        if (top > area.bottom()) break;
        if (top + LineHeight <= area.top()) continue;

        const TSpan span = RowSpan(first + screenRow);
        std::size_t pos = span.Begin;
        std::size_t run = pos < span.End ? RunAt(pos) : 0;
        while (pos < span.End) {
            std::size_t end = span.End;
            if (run + 1 < Runs.size()) end = std::min(end, Runs[run + 1].Start);
            const bool selected = pos >= selectionStart && pos < selectionEnd;
            if (selected)
                end = std::min(end, selectionEnd);
            else if (selectionStart > pos && selectionStart < selectionEnd)
                end = std::min(end, selectionStart);

            const qreal x = static_cast<qreal>(pos - span.Begin) * Advance;
            if (selected) {
                painter.fillRect(QRectF(x, top, static_cast<qreal>(end - pos) * Advance, LineHeight), highlight);
                painter.setPen(highlightedText);
            } else {
                painter.setPen(QColor(Runs[run].Colour));
            }
            DrawCells(painter, pos - span.Begin, pos, end, top + Ascent);

            pos = end;
            if (run + 1 < Runs.size() && pos >= Runs[run + 1].Start) ++run;
        }
    }
}

void TMonitorView::DrawCells(QPainter& painter, std::size_t column, std::size_t begin, std::size_t end,
                             int baseline) const {
    // Bytes the font draws one cell wide go out as one run of its glyphs at
    // the cells' places; any other (a fallback font's glyph) is put into its
    // own cell so that the columns stay where the wrapping arithmetic says.
    const auto xOf = [&](std::size_t pos) { return static_cast<qreal>(column + pos - begin) * Advance; };
    const auto glyphOf = [&](std::size_t pos) { return GlyphIndex[static_cast<unsigned char>(Text[pos])]; };
    // Kept from row to row, frame to frame: growing them anew for each row
    // cost more than filling them.
    QList<quint32>& indexes = CellGlyphs;
    QList<QPointF>& positions = CellPositions;
    std::size_t from = begin;
    while (from < end) {
        std::size_t to = from;
        while (to < end && glyphOf(to) != 0) ++to;
        indexes.resize(0);
        positions.resize(0);
        // A blank (the separator, a control byte) leaves its cell as it is.
        for (std::size_t pos = from; pos < to; ++pos) {
            if (Blank[static_cast<unsigned char>(Text[pos])]) continue;
            indexes.append(glyphOf(pos));
            positions.append(QPointF(xOf(pos) - xOf(from), 0));
        }
        if (!indexes.isEmpty()) {
            QGlyphRun run;
            run.setRawFont(RawFont);
            run.setGlyphIndexes(indexes);
            run.setPositions(positions);
            painter.drawGlyphRun(QPointF(xOf(from), baseline), run);
        }
        if (to < end) {
            painter.drawText(QPointF(xOf(to), baseline), Shown(to, to + 1));
            ++to;
        }
        from = to;
    }
}

void TMonitorView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    Rewrap();
}

void TMonitorView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) UpdateMetrics();
}

void TMonitorView::scrollContentsBy(int, int) { ScheduleRepaint(); }

void TMonitorView::ScheduleRepaint() {
    if (RepaintTimer.isActive()) return;
    // The first change after a quiet frame is drawn as soon as the current
    // event is handled (the rest of the same take comes with it), not a
    // frame later. So is one a frame after the last redraw, give or take the
    // timers' slack: appends that come once a frame are drawn as they come,
    // not each a moment later on a timer of their own.
    const qint64 sinceLast = LastRepaint.isValid() ? LastRepaint.elapsed() : RepaintIntervalMs;
    RepaintTimer.start(static_cast<int>(std::max<qint64>(0, RepaintIntervalMs - RepaintSlackMs - sinceLast)));
}

void TMonitorView::RepaintIfDue() {
    if (!RepaintTimer.isActive() || RepaintTimer.remainingTime() > 0) return;
    RepaintTimer.stop();
    Repaint();
}

void TMonitorView::Repaint() {
    LastRepaint.start();
    Bar->ShowChanges();
    // Text is appended at the end and the view follows it by whole rows:
    // most frames change only the rows from the old end on, or, once the
    // view has scrolled, the rows that hold text.
    const int top = FirstVisibleLine();
    const int textRows = TextRowsInSight();
    const int width = viewport()->width();
    if (PaintWhole) {
        viewport()->update();
    } else if (top != PaintedTop) {
        viewport()->update(0, 0, width, std::max(PaintedTextRows, textRows) * LineHeight);
    } else if (Text.size() != PaintedEnd) {
        const long long from = static_cast<long long>(RowOf(PaintedEnd)) - top;
        if (from < textRows)
            viewport()->update(0, static_cast<int>(std::max(0LL, from)) * LineHeight, width,
                               (textRows - static_cast<int>(std::max(0LL, from))) * LineHeight);
    }
    PaintedTop = top;
    PaintedEnd = Text.size();
    PaintedTextRows = textRows;
    PaintWhole = false;
}

int TMonitorView::TextRowsInSight() const {
    const long long rows = static_cast<long long>(TotalRows()) - FirstVisibleLine();
    return static_cast<int>(std::clamp<long long>(rows, 0, VisibleLines() + 1));
}

void TMonitorView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    Anchor = Cursor = PositionAt(event->position().toPoint());
    Selecting = true;
    viewport()->update();
}

void TMonitorView::mouseMoveEvent(QMouseEvent* event) {
    if (!Selecting || !(event->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    const QPoint point = event->position().toPoint();
    // Dragging past an edge pulls the text along, so a selection can grow
    // beyond what is in sight.
    if (point.y() < 0)
        ScrollLines(-1);
    else if (point.y() >= viewport()->height())
        ScrollLines(1);
    Cursor = PositionAt(point);
    viewport()->update();
}

void TMonitorView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !Selecting) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    Cursor = PositionAt(event->position().toPoint());
    Selecting = false;
    viewport()->update();
}

void TMonitorView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    const std::size_t at = PositionAt(event->position().toPoint(), false);
    const auto isWordByte = [this](std::size_t i) {
        const auto byte = static_cast<unsigned char>(Text[i]);
        return byte != '\n' && Glyphs[byte] != QChar(u' ');
    };
    Selecting = false;
    if (at >= Text.size() || !isWordByte(at)) return;
    std::size_t begin = at;
    std::size_t end = at + 1;
    while (begin > 0 && isWordByte(begin - 1)) --begin;
    while (end < Text.size() && isWordByte(end)) ++end;
    Anchor = begin;
    Cursor = end;
    viewport()->update();
}

void TMonitorView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        event->accept();
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void TMonitorView::contextMenuEvent(QContextMenuEvent* event) {
    const std::unique_ptr<QMenu> menu(CreateContextMenu(this));
    menu->exec(event->globalPos());
}

void TMonitorView::UpdateMetrics() {
    // The average over many glyphs is what a string of them really advances,
    // whatever rounding the font engine applies per glyph.
    const QFontMetricsF metrics(font());
    constexpr int Sample = 64;
    Advance = metrics.horizontalAdvance(QString(Sample, u'M')) / Sample;
    if (!(Advance > 0)) Advance = 1;
    const qreal pair = metrics.horizontalAdvance(QStringLiteral("ab"));
    for (int byte = 0; byte < 256; ++byte) {
        const QString between = QChar(u'a') + QString(Glyphs[byte]) + QChar(u'b');
        FitsCell[byte] = std::abs(metrics.horizontalAdvance(between) - pair - Advance) < 0.05;
    }
    RawFont = QRawFont::fromFont(font());
    for (int byte = 0; byte < 256; ++byte) {
        const QList<quint32> glyphs =
            RawFont.isValid() ? RawFont.glyphIndexesForString(QString(Glyphs[byte])) : QList<quint32>();
        GlyphIndex[byte] = FitsCell[byte] && glyphs.size() == 1 ? glyphs.front() : 0;
        Blank[byte] = GlyphIndex[byte] != 0 && IsBlank(RawFont, GlyphIndex[byte]);
    }
    const QFontMetrics whole(font());
    LineHeight = std::max(1, whole.lineSpacing());
    Ascent = whole.ascent();
    ColumnCount = 0;  // forces a rewrap even when the width stays
    Rewrap();
}

void TMonitorView::Rewrap() {
    const int columns = std::max(1, static_cast<int>(std::floor(viewport()->width() / Advance + 1e-6)));
    if (columns != ColumnCount) {
        const std::size_t topPosition = ColumnCount > 0 ? RowSpan(FirstVisibleLine()).Begin : 0;
        ColumnCount = columns;
        RecountRows();
        UpdateScrollRange();
        verticalScrollBar()->setValue(ClampToInt(RowOf(topPosition)));
    } else {
        UpdateScrollRange();
    }
    Bar->ShowChanges();
    viewport()->update();
}

void TMonitorView::RecountRows() {
    RowStarts.assign(LineStarts.size(), 0);
    for (std::size_t line = 1; line < LineStarts.size(); ++line)
        RowStarts[line] = RowStarts[line - 1] + RowsOf(LineEnd(line - 1) - LineStarts[line - 1]);
}

void TMonitorView::UpdateScrollRange() {
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, std::max(0, LineCount() - 1));
    bar->setPageStep(VisibleLines());
    UpdateScrollBarShown();
}

void TMonitorView::UpdateScrollBarShown() {
    // Showing the bar narrows the text, which can only add rows, and hiding
    // it can only take rows away: the decision never flips back by itself.
    const bool needed = LineCount() > VisibleLines() || verticalScrollBar()->value() > 0;
    const Qt::ScrollBarPolicy policy = needed ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
    if (verticalScrollBarPolicy() != policy) setVerticalScrollBarPolicy(policy);
}

bool TMonitorView::TrimIfOverBound() {
    if (Text.size() <= MaxBytesKept + MaxBytesKept / 8) return false;
    const std::size_t need = Text.size() - MaxBytesKept;
    const std::size_t line =
        static_cast<std::size_t>(std::upper_bound(LineStarts.begin(), LineStarts.end(), need) - LineStarts.begin()) - 1;
    std::size_t cut = need;
    if (LineStarts[line] != need && line + 1 < LineStarts.size() &&
        LineStarts[line + 1] - LineStarts[line] <= MaxBytesKept)
        cut = LineStarts[line + 1];
    DropFront(cut);
    return true;
}

void TMonitorView::DropFront(std::size_t cut) {
    const std::size_t topPosition = RowSpan(FirstVisibleLine()).Begin;
    PaintWhole = true;
    Text.erase(0, cut);

    const auto firstKept = std::upper_bound(LineStarts.begin(), LineStarts.end(), cut) - 1;
    LineStarts.erase(LineStarts.begin(), firstKept);
    for (std::size_t& start : LineStarts) start = start > cut ? start - cut : 0;
    RecountRows();

    if (Text.empty()) {
        Runs.clear();
    } else {
        Runs.erase(Runs.begin(), Runs.begin() + static_cast<std::ptrdiff_t>(RunAt(cut)));
        for (TRun& run : Runs) run.Start = run.Start > cut ? run.Start - cut : 0;
    }

    Anchor = Anchor > cut ? Anchor - cut : 0;
    Cursor = Cursor > cut ? Cursor - cut : 0;

    UpdateScrollRange();
    verticalScrollBar()->setValue(topPosition > cut ? ClampToInt(RowOf(topPosition - cut)) : 0);
}

std::size_t TMonitorView::RowsOf(std::size_t length) const {
    const auto columns = static_cast<std::size_t>(ColumnCount);
    return length == 0 ? 1 : (length + columns - 1) / columns;
}

std::size_t TMonitorView::LineEnd(std::size_t line) const {
    return line + 1 < LineStarts.size() ? LineStarts[line + 1] - 1 : Text.size();
}

std::size_t TMonitorView::TotalRows() const { return RowStarts.back() + RowsOf(Text.size() - LineStarts.back()); }

TMonitorView::TSpan TMonitorView::RowSpan(std::size_t row) const {
    if (row >= TotalRows()) return {Text.size(), Text.size()};
    const std::size_t line =
        static_cast<std::size_t>(std::upper_bound(RowStarts.begin(), RowStarts.end(), row) - RowStarts.begin()) - 1;
    const auto columns = static_cast<std::size_t>(ColumnCount);
    const std::size_t begin = LineStarts[line] + (row - RowStarts[line]) * columns;
    return {begin, std::min(begin + columns, LineEnd(line))};
}

std::size_t TMonitorView::RowOf(std::size_t position) const {
    position = std::min(position, Text.size());
    const std::size_t line = static_cast<std::size_t>(std::upper_bound(LineStarts.begin(), LineStarts.end(), position) -
                                                      LineStarts.begin()) -
                             1;
    const std::size_t rows = RowsOf(LineEnd(line) - LineStarts[line]);
    const std::size_t inLine = (position - LineStarts[line]) / static_cast<std::size_t>(ColumnCount);
    return RowStarts[line] + std::min(inLine, rows - 1);
}

std::size_t TMonitorView::RunAt(std::size_t position) const {
    const auto after = std::upper_bound(Runs.begin(), Runs.end(), position,
                                        [](std::size_t pos, const TRun& run) { return pos < run.Start; });
    return static_cast<std::size_t>(after - Runs.begin()) - 1;
}

std::size_t TMonitorView::PositionAt(QPoint point, bool nearestBoundary) const {
    const long long row = static_cast<long long>(FirstVisibleLine()) +
                          static_cast<long long>(std::floor(static_cast<double>(point.y()) / LineHeight));
    if (row < 0) return 0;
    if (static_cast<std::size_t>(row) >= TotalRows()) return Text.size();
    const TSpan span = RowSpan(static_cast<std::size_t>(row));
    const double column = point.x() / Advance;
    const long long picked = nearestBoundary ? std::llround(column) : static_cast<long long>(std::floor(column));
    const auto offset = static_cast<std::size_t>(std::clamp<long long>(picked, 0, ColumnCount));
    return std::min(span.Begin + offset, span.End);
}

QString TMonitorView::Shown(std::size_t begin, std::size_t end) const {
    QString shown(static_cast<qsizetype>(end - begin), Qt::Uninitialized);
    QChar* out = shown.data();
    for (std::size_t i = begin; i < end; ++i) *out++ = Glyphs[static_cast<unsigned char>(Text[i])];
    return shown;
}
