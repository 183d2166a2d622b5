#include "bench/ToolkitFloor.h"

#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kalvaro::bench {
namespace {

// Black, with one line of HEX text per row, the text new at every paint.
class TBareRows : public QWidget {
public:
    TBareRows(const QSize& size, const QFont& font) {
        setFont(font);
        resize(size);
        const QFontMetrics metrics(font);
        Rows = std::max(1, size.height() / metrics.lineSpacing());
        Columns = std::max(1, size.width() / (3 * metrics.horizontalAdvance(QLatin1Char('0'))));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::black);
        painter.setPen(Qt::green);
        const QFontMetrics metrics(font());
        static constexpr char Digits[] = "0123456789ABCDEF";
        QString line;
        for (int row = 0; row < Rows; ++row) {
            line.clear();
            for (int column = 0; column < Columns; ++column, ++Next) {
                line += QLatin1Char(Digits[(Next >> 4) & 0xF]);
                line += QLatin1Char(Digits[Next & 0xF]);
                line += QLatin1Char(' ');
            }
            painter.drawText(0, row * metrics.lineSpacing() + metrics.ascent(), line);
        }
    }

private:
    int Rows = 1;
    int Columns = 1;
    unsigned Next = 0;
};

}  // namespace

int RunToolkitFloor(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: receive_bench floor seconds frame-ms width height font\n");
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    QFont font;
    font.fromString(QString::fromLocal8Bit(argv[6]));
    TBareRows rows(QSize(std::atoi(argv[4]), std::atoi(argv[5])), font);
    rows.show();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, &rows, [&] { rows.update(); });
    tick.start(std::atoi(argv[3]));
    RunFor(1);  // fonts and the backing store are made before the count starts
    std::printf("ready\n");
    std::fflush(stdout);
    const double cpu0 = CpuSeconds();
    RunFor(seconds);
    std::printf("%.3f\n", 1000 * (CpuSeconds() - cpu0) / seconds);
    return 0;
}

TToolkitFloor::TToolkitFloor(const QWidget& like, int frameMs, double seconds) : seconds_(seconds) {
    child_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child_.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("floor"), QString::number(seconds), QString::number(frameMs),
                  QString::number(like.width()), QString::number(like.height()), like.font().toString()});
    RunUntil([&] { return child_.canReadLine() || child_.state() == QProcess::NotRunning; }, 10);
    ready_ = child_.canReadLine() && child_.readLine().trimmed() == "ready";
}

TToolkitFloor::~TToolkitFloor() {
    if (child_.state() == QProcess::NotRunning) return;
    child_.kill();
    child_.waitForFinished(5000);
}

double TToolkitFloor::MsPerSecond() {
    if (!ready_) return -1;
    RunUntil([&] { return child_.state() == QProcess::NotRunning; }, seconds_ + 10);
    if (child_.state() != QProcess::NotRunning || child_.exitCode() != 0) return -1;
    bool parsed = false;
    const double figure = child_.readAllStandardOutput().trimmed().toDouble(&parsed);
    return parsed ? figure : -1;
}

}  // namespace kalvaro::bench
