#pragma once
// Printing a script as the editor shows it: the lines as the text area wraps
// them, laid out in pages, and painted in the area's font.
//
// A printout is two empty lines, then every line the area shows (a long line
// the area wraps gives its wrapped pieces), each after one tab; a page takes
// as many lines as its height holds at the font's line spacing, at least one.
// The tab is drawn as the advance of eight blanks of the font, the classic
// tab stop. The area's 13-pixel screen font prints at the same size on paper
// (13 px at the screen's 96 dpi is 9.75 pt).
//
// GUI thread only (fonts, layouts, painting). PrintScript raises
// std::runtime_error "Cannot start printing" when the printer refuses the
// job; the rest throw nothing but std::bad_alloc.

#include <QFont>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class QPainter;
class QPlainTextEdit;
class QPrinter;
class QRectF;

// The area's lines as it shows them, wrapped at its present width.
QStringList ShownLines(const QPlainTextEdit& area);

// The printed lines, page by page.
std::vector<QStringList> PrintPages(const QStringList& shownLines, int linesPerPage);

// The font that prints the screen font at its size on the screen.
QFont PrintFont(const QFont& screenFont, int screenDpi);

// How many lines of the painter's font fit in a height.
int LinesPerPage(const QPainter& painter, qreal height);

// Paints one page's lines from the top of area, one line spacing apart.
void PaintPrintPage(QPainter& painter, const QRectF& area, const QStringList& lines);

// Paints the whole printout in the painter's font on pages of the given
// area; newPage moves the device to the next page. Returns the page count.
int PaintPrintout(QPainter& painter, const QRectF& area, const QStringList& shownLines,
                  const std::function<void()>& newPage);

// Prints the shown lines on the printer in the font, starting new pages as
// they fill.
void PrintScript(QPrinter& printer, const QFont& font, const QStringList& shownLines);
