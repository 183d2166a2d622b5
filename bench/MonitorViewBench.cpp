// How fast the monitor's view takes received text, and what memory it holds
// while the history runs against its bound. Prints figures; never fails on
// time.
//
// First a view following a 115 200 bit/s line once a frame, at the window's
// size and maximised: the CPU each frame costs.
// Each run appends "XX " values in two alternating colours, with the main
// window's scroll rule connected (the newest lines kept in sight), lets the
// event loop run and paints the view every 100 appends of a batch run:
//  - Hex display without line breaks: 50 MB in one unbroken line, ~3 KB a batch;
//  - the same with a line feed after every 48 bytes;
//  - one append per value, as the receive routines call it for every byte.
// Then finding in a full view (4 MiB of HEX text in lines of 48 values): the
// time of one step for a needle that is not there (one whole pass), one
// whose first characters are everywhere, one found once, and the mean of
// stepping through a frequent match.

#include "bench/ProcessCpu.h"
#include "widgets/MonitorView.h"

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QPixmap>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

using kalvaro::bench::CpuSeconds;

constexpr std::size_t MB = 1024 * 1024;
const QRgb Port1Colour = qRgb(255, 255, 0);
const QRgb Port2Colour = qRgb(0, 255, 255);

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string HexValues(std::size_t count, std::size_t first, std::size_t lineEvery) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const auto value = static_cast<unsigned char>(first + i);
        text += digits[value >> 4];
        text += digits[value & 15];
        text += ' ';
        if (lineEvery && (i + 1) % (lineEvery / 3) == 0) text += '\n';
    }
    return text;
}

struct TResult {
    double Seconds;
    double CpuSeconds;
    std::size_t Bytes;
};

// Appends the pieces round-robin until total bytes went in; every paintEvery
// appends it runs the event loop and paints the whole view.
TResult Run(TMonitorView& view, const std::vector<std::string>& pieces, std::size_t total, int paintEvery) {
    view.Clear();
    QApplication::processEvents();
    std::size_t written = 0;
    int appends = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    while (written < total) {
        const std::string& piece = pieces[static_cast<std::size_t>(appends) % pieces.size()];
        view.Append(piece, appends % 2 ? Port2Colour : Port1Colour);
        written += piece.size();
        if (++appends % paintEvery == 0) {
            QApplication::processEvents();
            const QImage image = view.grab().toImage();
            if (image.isNull()) std::fprintf(stderr, "paint failed\n");
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {took.count(), CpuSeconds() - cpuStart, written};
}

// Follows a 115 200 bit/s line in a view of the given size: every frame
// tick the values that came in a frame (about 173) are appended, and the
// view draws them. Returns the process's CPU per frame in microseconds.
double FollowLine(TMonitorView& view, QSize size, int frames) {
    view.Clear();
    view.resize(size);
    QApplication::processEvents();
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    int frame = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        view.Append(HexValues(173, static_cast<std::size_t>(frame) * 173, 0), frame % 2 ? Port2Colour : Port1Colour);
        if (++frame == frames) loop.quit();
    });
    const double cpuStart = CpuSeconds();
    tick.start(TMonitorView::RepaintIntervalMs);
    loop.exec();
    return (CpuSeconds() - cpuStart) * 1e6 / frames;
}

void Report(const char* name, const TMonitorView& view, const TResult& result) {
    const double mb = static_cast<double>(result.Bytes) / MB;
    const double kb = static_cast<double>(result.Bytes) / 1024;
    std::printf(
        "%-40s %5.1f MB in %6.2f s (CPU %6.2f s): %6.1f MB/s, %7.2f us per KB (CPU %7.2f); "
        "kept %4.2f MB in %6d rows; peak RSS %ld MB\n",
        name, mb, result.Seconds, result.CpuSeconds, mb / result.Seconds, result.Seconds * 1e6 / kb,
        result.CpuSeconds * 1e6 / kb, static_cast<double>(view.Size()) / MB, view.LineCount(), PeakRssKb() / 1024);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    TMonitorView view(TCodePage::Cp1250);
    view.resize(577, 113);
    view.show();
    QObject::connect(&view, &TMonitorView::TextChanged,
                     [&view] { view.ScrollLines(view.LineCount() - view.FirstVisibleLine() - 6); });
    QApplication::processEvents();
    std::printf("view %dx%d: %d columns, %d rows in sight, bound %zu MB\n", view.width(), view.height(), view.Columns(),
                view.VisibleLines(), view.MaxBytes() / MB);

    for (const QSize size : {QSize(577, 113), QSize(1280, 900)}) {
        const double perFrame = FollowLine(view, size, 300);
        std::printf("following 115 200 bit/s in %4dx%-4d (%2d rows in sight): %6.1f us CPU per frame\n", size.width(),
                    size.height(), view.VisibleLines(), perFrame);
    }
    view.resize(577, 113);
    QApplication::processEvents();

    const std::vector<std::string> unbroken = {HexValues(1024, 0, 0), HexValues(1024, 7, 0)};
    Report("50 MB, one unbroken line, 3 KB batches", view, Run(view, unbroken, 50 * MB, 100));

    const std::vector<std::string> lines = {HexValues(1024, 0, 48), HexValues(1024, 7, 48)};
    Report("50 MB, LF every 48 bytes, 3 KB batches", view, Run(view, lines, 50 * MB, 100));

    std::vector<std::string> values;
    for (int v = 0; v < 256; ++v) values.push_back(HexValues(1, static_cast<std::size_t>(v), 0));
    Report("10 MB, one append per value, one line", view, Run(view, values, 10 * MB, 100000));

    view.Clear();
    std::size_t first = 0;
    while (view.Size() < view.MaxBytes()) {
        view.Append(HexValues(1024, first, 48), first % 2 ? Port2Colour : Port1Colour);
        first += 1024;
    }
    view.Append("DE AD BE EF\n", Port1Colour);
    std::printf("finding in %.1f MiB of text, %d rows:\n", static_cast<double>(view.Size()) / MB, view.LineCount());
    const auto step = [&](const char* what, const QString& needle, int steps) {
        view.Select(0, 0);
        const auto begin = std::chrono::steady_clock::now();
        int found = 0;
        for (int i = 0; i < steps; ++i) found += view.FindNext(needle, true, false) ? 1 : 0;
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        std::printf("  %-44s %8.2f ms per step (%d of %d steps found one)\n", what, ms / steps, found, steps);
    };
    step("not there (one whole pass), any case", "not there", 20);
    step("first characters everywhere, not there", "0A 0B 0C 0D 0E 0F 1", 20);
    step("found once, at the end, any case", "de ad be ef", 20);
    step("a frequent match, step by step", "41 42", 1000);
    return 0;
}
