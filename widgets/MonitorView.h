#pragma once
// TMonitorView: the monitor's read-only coloured text view ("Input from",
// "Output to Port").
//
// The text is held as bytes and shown through one code page (0x80-0xFF as
// Central European or Western characters). A line feed starts a new line;
// every other control byte (0-31, 127, and the C1 controls the code page's
// holes map to) is drawn as a blank, and a soft hyphen as a hyphen, so every
// byte fills one column. Each appended piece carries its colour;
// neighbouring pieces of one colour share one run.
//
// Cost: a serial monitor appends a few bytes thousands of times a second, and
// Hex or Decimal display without line breaks grows one endless line, which a
// stock text document re-lays out on every insertion. Here the font has a
// fixed width and lines wrap by character, so layout is arithmetic: a line of
// L characters takes max(1, ceil(L / Columns())) rows. Append costs
// O(appended bytes) amortised whatever the history or the line length;
// a width or font change rewraps in O(lines); a paint draws only the visible
// rows. The history is bounded (SetMaxBytes, 4 MiB by default): once it
// passes the bound by an eighth, whole oldest lines go until it is within the
// bound again, or, when one line alone is longer than the bound, that line's
// oldest bytes.
//
// Lines and rows: LineCount(), FirstVisibleLine() and ScrollLines() count
// visual rows as wrapped; a last line that is empty (the text ends with a
// line feed) is not counted. The first visible row is the vertical scroll
// bar's value, from 0 to LineCount() - 1: as in a rich-text control, the
// text scrolls until its last row is at the top, so an owner's rule can put
// any row first whatever the view's height. The scroll bar shows while the
// text is taller than the view or the view is scrolled away from its top
// (so the user can always scroll back). The view never scrolls by itself
// when text arrives: its owner applies its own rule on TextChanged().
//
// The user selects with the mouse (press and drag; a double click takes a
// word) and copies with Ctrl+C or the context menu; copied text goes through
// the code page with line feeds as line breaks. The view takes no typed text.
//
// Drawing: text arrives up to a thousand times a second, and redrawing the
// view (and its scroll bar) for each piece would cost far more than keeping
// it; appends and scrolling therefore redraw at most once per frame
// (RepaintIntervalMs): at once when the view was last redrawn about a frame
// ago or more, else when that frame is over. A repaint redraws only the rows
// that changed (from the old end of the text on, or the rows that hold text
// once the view has scrolled), and the scroll bar only when its thumb moved.
// The model — text, rows, scroll position — is always up to date; only the
// pixels follow within a frame.
//
// GUI thread only, like every widget. Nothing throws but std::bad_alloc.

#include "platform/FrameTicks.h"
#include "text/CodePages.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QRawFont>
#include <QRgb>
#include <QString>
#include <QTimer>

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QMenu;
class QPainter;
class TFrameScrollBar;

class TMonitorView : public QAbstractScrollArea {
    Q_OBJECT

public:
    static constexpr std::size_t DefaultMaxBytes = std::size_t{4} * 1024 * 1024;
    // A frame: the ports hand over what they gathered at the same rhythm.
    static constexpr int RepaintIntervalMs = static_cast<int>(afp::FrameTick.count());
    static constexpr int RepaintSlackMs = 2;

    explicit TMonitorView(TCodePage codePage, QWidget* parent = nullptr);

    // Adds bytes at the end in this colour (alpha is ignored), then emits
    // TextChanged().
    void Append(std::string_view bytes, QRgb colour);
    // Empties the view, then emits TextChanged().
    void Clear();
    // Redraws now what appends have scheduled for at once, instead of in the
    // event loop's next turn: for a caller whose appends are complete.
    void RepaintIfDue();

    // The bytes with every line feed written as CR LF: what a capture file
    // holds. Wrapping adds nothing.
    std::string PlainText() const;
    std::size_t Size() const { return Text.size(); }
    // The text is empty or ends with a line feed.
    bool AtLineStart() const { return Text.empty() || Text.back() == '\n'; }
    // The colour of the byte at index; white when index is past the end.
    QRgb ColourAt(std::size_t index) const;

    int LineCount() const;
    int FirstVisibleLine() const;
    // Moves the first visible row by delta, clamped to [0, LineCount() - VisibleLines()].
    void ScrollLines(int delta);
    // Characters per row at the present width, at least 1.
    int Columns() const { return ColumnCount; }
    // Rows that fit the viewport whole, at least 1.
    int VisibleLines() const;
    // The characters drawn on one visual row, control bytes as blanks; empty
    // for a row that does not exist.
    QString VisualLineText(int row) const;

    // Trims at once when the text is over the new bound, and then emits
    // TextChanged().
    void SetMaxBytes(std::size_t maxBytes);
    std::size_t MaxBytes() const { return MaxBytesKept; }

    // The selection is the bytes [SelectionStart(), SelectionEnd()).
    void Select(std::size_t from, std::size_t to);
    std::size_t SelectionStart() const;
    std::size_t SelectionEnd() const;
    QString SelectedText() const;
    // Puts SelectedText() on the clipboard; nothing happens without a selection.
    void CopySelection() const;
    // The menu the view shows on a right click; the caller owns it. Its own
    // entry (Copy) comes first, then what the extender adds.
    QMenu* CreateContextMenu(QWidget* parent);
    void SetMenuExtender(std::function<void(QMenu&)> extender) { MenuExtender = std::move(extender); }

    // Finding (MonitorViewFind.cpp). The text is searched as the view shows
    // it: control bytes as blanks, a line feed matches nothing (a match never
    // spans two lines, but it does span rows the view wrapped and colour
    // runs); without matchCase letters match in either case. Forward finds
    // the first match that starts after the selection's start (at the
    // cursor when nothing is selected), backward the last one that starts
    // before it; both wrap around the text once. A match is selected and its
    // row scrolled into sight, and unless the text's end is in sight the view
    // holds (Held): its owner then lets it stay where it is when text
    // arrives, until the user scrolls back to the end or ends the hold.
    // False when the text holds no match; the view is then left as it was.
    // A step costs one pass over the text at most.
    bool FindNext(const QString& needle, bool forward, bool matchCase);
    // Where the match at or after from (forward) or the last one before from
    // (backward) starts, wrapping around; none without a match.
    std::optional<std::size_t> FindFrom(const QString& needle, std::size_t from, bool forward, bool matchCase) const;
    bool Held() const { return Holding; }
    void SetHeld(bool held);
    // Whether the text's last row is in sight.
    bool EndInSight() const;

signals:
    void TextChanged();
    // The hold began or ended.
    void HeldChanged(bool held);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct TRun {
        std::size_t Start;
        QRgb Colour;
    };
    struct TSpan {
        std::size_t Begin;
        std::size_t End;
    };

    void UpdateMetrics();
    void Rewrap();
    // RowStarts from LineStarts at the present column count.
    void RecountRows();
    void UpdateScrollRange();
    void UpdateScrollBarShown();
    // Redraws the text and the scroll bar within a frame; Repaint does it.
    void ScheduleRepaint();
    void Repaint();
    // True when it dropped anything.
    bool TrimIfOverBound();
    // Drops the bytes before cut, keeping lines, colours, the selection and
    // the text in sight where they were.
    void DropFront(std::size_t cut);

    std::size_t RowsOf(std::size_t length) const;
    std::size_t LineEnd(std::size_t line) const;
    std::size_t TotalRows() const;
    TSpan RowSpan(std::size_t row) const;
    std::size_t RowOf(std::size_t position) const;
    std::size_t RunAt(std::size_t position) const;
    // The byte position under a point: the nearest character boundary, or the
    // character the point is on.
    std::size_t PositionAt(QPoint point, bool nearestBoundary = true) const;
    QString Shown(std::size_t begin, std::size_t end) const;
    void DrawCells(QPainter& painter, std::size_t column, std::size_t begin, std::size_t end, int baseline) const;

    const TCodePage CodePage;
    std::array<QChar, 256> Glyphs;
    std::array<bool, 256> FitsCell{};
    // The font's own glyph for each byte, 0 where the font has none (a
    // fallback font draws it) or it does not fit one cell. Rows are drawn
    // from these glyphs directly: shaping every visible row again each
    // frame cost more than everything else the view does.
    QRawFont RawFont;
    std::array<quint32, 256> GlyphIndex{};
    std::array<bool, 256> Blank{};  // glyphs that draw nothing
    // What DrawCells hands to one glyph run.
    mutable QList<quint32> CellGlyphs;
    mutable QList<QPointF> CellPositions;

    std::string Text;
    std::vector<TRun> Runs;
    // Where each logical line starts, and how many rows come before it; both
    // always hold at least the first line.
    std::vector<std::size_t> LineStarts{0};
    std::vector<std::size_t> RowStarts{0};
    std::size_t MaxBytesKept = DefaultMaxBytes;

    int ColumnCount = 1;
    qreal Advance = 8;
    int LineHeight = 15;
    int Ascent = 12;

    std::size_t Anchor = 0;
    std::size_t Cursor = 0;
    bool Selecting = false;
    TFrameScrollBar* Bar = nullptr;  // the vertical scroll bar, owned by the view
    QTimer RepaintTimer;
    QElapsedTimer LastRepaint;  // since the latest repaint; invalid before the first
    // What the pixels show, so that a repaint redraws only the rows that
    // changed: the first row in sight, the text's length and how many rows
    // in sight held text. PaintWhole: they no longer describe the pixels.
    int PaintedTop = 0;
    std::size_t PaintedEnd = 0;
    int PaintedTextRows = 0;
    bool PaintWhole = true;
    // Rows in sight from the first visible one to the text's end.
    int TextRowsInSight() const;
    std::function<void(QMenu&)> MenuExtender;
    // The glyphs in lower case, for finding without case; a line feed is
    // U+FFFF, which no needle holds.
    std::array<QChar, 256> FoldedGlyphs;
    bool Holding = false;
};
