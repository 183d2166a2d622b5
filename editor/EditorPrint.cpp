#include "editor/EditorPrint.h"

#include "editor/editor1.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextOption>

#include <algorithm>
#include <cmath>
#include <stdexcept>

QStringList ShownLines(const QPlainTextEdit& area) {
    QTextDocument* document = area.document();
    auto* layout = qobject_cast<QPlainTextDocumentLayout*>(document->documentLayout());
    QStringList lines;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        // The area lays out only what it has had to show; the rest is laid
        // out here at the same width.
        if (layout) layout->ensureBlockLayout(block);
        const QString text = block.text();
        const QTextLayout* wrapped = block.layout();
        if (!wrapped || wrapped->lineCount() == 0) {
            lines << text;
            continue;
        }
        for (int i = 0; i < wrapped->lineCount(); ++i) {
            const QTextLine line = wrapped->lineAt(i);
            lines << text.mid(line.textStart(), line.textLength());
        }
    }
    return lines;
}

std::vector<QStringList> PrintPages(const QStringList& shownLines, int linesPerPage) {
    const qsizetype perPage = std::max(1, linesPerPage);
    QStringList printed{QString(), QString()};
    for (const QString& line : shownLines) printed << u'\t' + line;
    std::vector<QStringList> pages;
    for (qsizetype first = 0; first < printed.size(); first += perPage) pages.push_back(printed.mid(first, perPage));
    return pages;
}

QFont PrintFont(const QFont& screenFont, int screenDpi) {
    QFont font = screenFont;
    if (screenFont.pixelSize() > 0 && screenDpi > 0) font.setPointSizeF(screenFont.pixelSize() * 72.0 / screenDpi);
    return font;
}

int LinesPerPage(const QPainter& painter, qreal height) {
    const qreal spacing = QFontMetricsF(painter.font(), painter.device()).lineSpacing();
    return spacing > 0 ? std::max(1, static_cast<int>(std::floor(height / spacing))) : 1;
}

void PaintPrintPage(QPainter& painter, const QRectF& area, const QStringList& lines) {
    const QFontMetricsF metrics(painter.font(), painter.device());
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::NoWrap);
    // Qt takes a tab stop distance in the screen's pixels and scales it by
    // the device's resolution over the screen's (12.5 times on a 1200 dpi
    // printer), so the distance is measured with the screen's metrics of the
    // font; the device's own would push every line off the page.
    option.setTabStopDistance(8 * QFontMetricsF(painter.font(), nullptr).horizontalAdvance(u' '));
    qreal top = area.top();
    for (const QString& line : lines) {
        painter.drawText(QRectF(area.left(), top, area.width(), metrics.lineSpacing()), line, option);
        top += metrics.lineSpacing();
    }
}

int PaintPrintout(QPainter& painter, const QRectF& area, const QStringList& shownLines,
                  const std::function<void()>& newPage) {
    const std::vector<QStringList> pages = PrintPages(shownLines, LinesPerPage(painter, area.height()));
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (i > 0) newPage();
        PaintPrintPage(painter, area, pages[i]);
    }
    return static_cast<int>(pages.size());
}

void PrintScript(QPrinter& printer, const QFont& font, const QStringList& shownLines) {
    QPainter painter;
    if (!painter.begin(&printer)) throw std::runtime_error("Cannot start printing");
    painter.setFont(font);
    const QRectF page(QPointF(0, 0), printer.pageRect(QPrinter::DevicePixel).size());
    PaintPrintout(painter, page, shownLines, [&printer] { printer.newPage(); });
    painter.end();
}

void TEditor::Print1Click() {
    QPrintDialog& dialog = *PrintDialog1();
    const int answer = DialogSeams.RunPrint ? DialogSeams.RunPrint(dialog) : dialog.exec();
    if (answer != QDialog::Accepted) return;
    PrintScript(*Printer, PrintFont(Memo1->font(), Memo1->logicalDpiY()), ShownLines(*Memo1));
}
