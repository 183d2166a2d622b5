// Printing a script: the lines as the text area wraps them, the printed
// layout, what lands on which page, and a real print job to a PDF file.
#include "editor/EditorPrint.h"
#include "tests/editor/EditorFixture.h"

#include <QAction>
#include <QFontMetricsF>
#include <QPaintEngine>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QToolButton>

#include <climits>
#include <regex>
#include <vector>

namespace {

using namespace kalvaro::test;

// A paint device that remembers every text run painted on it, with the page
// it was painted on.
class TRecordingEngine : public QPaintEngine {
public:
    struct TRun {
        int Page;
        QPointF At;
        QString Text;
    };

    TRecordingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState&) override {}
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawTextItem(const QPointF& at, const QTextItem& item) override { Runs.push_back({Page, at, item.text()}); }
    Type type() const override { return QPaintEngine::User; }

    int Page = 0;
    std::vector<TRun> Runs;
};

class TRecordingDevice : public QPaintDevice {
public:
    QPaintEngine* paintEngine() const override { return &Engine; }
    mutable TRecordingEngine Engine;

protected:
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
            case PdmWidth: return 600;
            case PdmHeight: return 800;
            case PdmWidthMM: return 159;
            case PdmHeightMM: return 212;
            case PdmDpiX:
            case PdmDpiY:
            case PdmPhysicalDpiX:
            case PdmPhysicalDpiY: return 96;
            case PdmDepth: return 32;
            case PdmNumColors: return INT_MAX;
            case PdmDevicePixelRatio: return 1;
            case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
            default: return 0;
        }
    }
};

QStringList Numbered(int count, const QString& stem = "line ") {
    QStringList lines;
    for (int i = 1; i <= count; ++i) lines << stem + QString::number(i);
    return lines;
}

TEST(PrintLayout, TwoEmptyLinesThenEachLineAfterATabPageByPage) {
    const std::vector<QStringList> pages = PrintPages(Numbered(5), 3);
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0], QStringList({"", "", "\tline 1"}));
    EXPECT_EQ(pages[1], QStringList({"\tline 2", "\tline 3", "\tline 4"}));
    EXPECT_EQ(pages[2], QStringList({"\tline 5"}));
    EXPECT_EQ(PrintPages({}, 0).size(), 2u) << "at least one line a page";
}

TEST(PrintLayout, ThePrintoutRunsInOrderOverThePagesAfterATab) {
    TRecordingDevice device;
    QPainter painter(&device);
    QFont font("Courier New");
    font.setPointSize(10);
    painter.setFont(font);
    const QFontMetricsF metrics(painter.font(), &device);
    const QRectF area(0, 0, 600, metrics.lineSpacing() * 10.5);
    const int pages = PaintPrintout(painter, area, Numbered(25), [&] { ++device.Engine.Page; });
    painter.end();

    EXPECT_EQ(pages, 3) << "2 empty lines and 25 lines at 10 a page";
    std::vector<TRecordingEngine::TRun> shown;
    for (const auto& run : device.Engine.Runs)
        if (!run.Text.trimmed().isEmpty()) shown.push_back(run);
    ASSERT_EQ(shown.size(), 25u);
    const qreal tab = 8 * metrics.horizontalAdvance(u' ');
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(shown[i].Text.trimmed(), "line " + QString::number(i + 1));
        EXPECT_EQ(shown[i].Page, (i + 2) / 10);
        EXPECT_NEAR(shown[i].At.x(), tab, 1.0) << "after one tab";
        if (i > 0 && shown[i].Page == shown[i - 1].Page) {
            EXPECT_GT(shown[i].At.y(), shown[i - 1].At.y());
        }
    }
    EXPECT_GT(shown[0].At.y(), 2 * metrics.lineSpacing()) << "below the two empty lines";
    EXPECT_LT(shown[8].At.y(), metrics.lineSpacing()) << "a new page starts at the top";
}

TEST(PrintLayout, TheScreenFontPrintsAtItsScreenSize) {
    QFont screen("Courier New");
    screen.setPixelSize(13);
    EXPECT_DOUBLE_EQ(PrintFont(screen, 96).pointSizeF(), 9.75);
    EXPECT_EQ(PrintFont(screen, 96).family(), "Courier New");
}

TEST_F(EditorTest, ShownLinesAreTheAreasWrappedPieces) {
    TEditor& editor = Editor();
    QString longLine;
    for (int i = 0; i < 40; ++i) longLine += "word" + QString::number(i) + " ";
    editor.Memo1->setPlainText("short\n" + longLine + "\nlast");

    const QStringList wide = ShownLines(*editor.Memo1);
    ASSERT_GT(wide.size(), 3);
    EXPECT_EQ(wide.first(), "short");
    EXPECT_EQ(wide.last(), "last");
    EXPECT_EQ(wide.mid(1, wide.size() - 2).join(QString()), longLine);

    editor.resize(300, editor.height());
    ASSERT_TRUE(PumpUntil([&] { return ShownLines(*editor.Memo1).size() > wide.size(); }));
    const QStringList narrow = ShownLines(*editor.Memo1);
    EXPECT_EQ(narrow.mid(1, narrow.size() - 2).join(QString()), longLine);
}

// Counts the page objects of a PDF file.
int PdfPages(const std::filesystem::path& file) {
    const std::string pdf = ReadBytes(file);
    const std::regex page(R"(/Type\s*/Page(?![a-zA-Z]))");
    return static_cast<int>(std::distance(std::sregex_iterator(pdf.begin(), pdf.end(), page), std::sregex_iterator()));
}

TEST_F(EditorTest, PrintingMakesPagesAsTheTextGrows) {
    TEditor& editor = Editor();
    const std::filesystem::path pdf = Folder / "printed.pdf";
    int asked = 0;
    bool answer = false;
    editor.Dialogs().RunPrint = [&](QPrintDialog& dialog) {
        ++asked;
        dialog.printer()->setOutputFormat(QPrinter::PdfFormat);
        dialog.printer()->setOutputFileName(Q(pdf));
        return answer ? int(QDialog::Accepted) : int(QDialog::Rejected);
    };

    editor.Print1->trigger();
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(std::filesystem::exists(pdf)) << "a cancelled dialog prints nothing";

    answer = true;
    editor.Memo1->setPlainText(Numbered(10).join(u'\n'));
    editor.ToolButton4->click();
    ASSERT_TRUE(std::filesystem::exists(pdf));
    EXPECT_EQ(PdfPages(pdf), 1);

    editor.Memo1->setPlainText(Numbered(200).join(u'\n'));
    editor.Print1->trigger();
    const int longer = PdfPages(pdf);
    EXPECT_GT(longer, 1);

    editor.Memo1->setPlainText(Numbered(400).join(u'\n'));
    editor.Print1->trigger();
    EXPECT_GT(PdfPages(pdf), longer);
    EXPECT_EQ(asked, 4);
    EXPECT_EQ(editor.PrintDialog1(), editor.PrintDialog1()) << "one dialog for the whole run";
}

// The text of a PDF file as Poppler's pdftotext extracts it, pages ended by
// form feeds; what is painted off the page is not in it.
QString PdfText(const std::filesystem::path& file) {
    QProcess extract;
    extract.start("pdftotext", {"-enc", "UTF-8", Q(file), "-"});
    if (!extract.waitForFinished(20000) || extract.exitCode() != 0) {
        ADD_FAILURE() << "pdftotext (poppler-utils) did not run: " << extract.errorString().toStdString();
        return {};
    }
    return QString::fromUtf8(extract.readAllStandardOutput());
}

TEST_F(EditorTest, APrintedScriptShowsEveryLineOnItsPages) {
    TEditor& editor = Editor();
    const std::filesystem::path pdf = Folder / "script.pdf";
    editor.Dialogs().RunPrint = [&](QPrintDialog& dialog) {
        dialog.printer()->setOutputFormat(QPrinter::PdfFormat);
        dialog.printer()->setOutputFileName(Q(pdf));
        return int(QDialog::Accepted);
    };
    QStringList lines;
    for (int line = 1; line <= 4; ++line) {
        QString words;
        for (int word = 1; word <= 40; ++word) words += QString("L%1w%2 ").arg(line).arg(word);
        lines << words.trimmed();
    }
    lines << Numbered(150, "%%DELAY ");
    editor.Memo1->setPlainText(lines.join(u'\n'));
    const QStringList shown = ShownLines(*editor.Memo1);
    ASSERT_GT(shown.size(), lines.size()) << "the long lines are wrapped";

    editor.Print1->trigger();
    const QString text = PdfText(pdf);
    EXPECT_GE(text.count(u'\f'), 2) << "a second page";
    const QString printed = text.simplified();
    qsizetype from = 0;
    for (const QString& line : shown) {
        const qsizetype at = printed.indexOf(line.simplified(), from);
        ASSERT_GE(at, 0) << "not printed: " << line.toStdString();
        from = at + line.simplified().size();
    }
}

}  // namespace
