// The paced lines of receive_bench: what the window costs on the lines most
// people use, and how soon what arrives is on screen.
//
// Each case feeds 9 600, 115 200 or 921 600 bit/s (960, 11 520, 92 160 bytes
// a second) into port 1 alone or into both ports, in pieces written every
// 1 ms or every 16 ms (a USB adapter's default latency), for caseSeconds.
// It reports the window's CPU per kB received, the wake-ups per second of
// all its threads (context switches from /proc/self/task/*/status), and the
// time from the write of a piece to the paint of its port's count field
// showing its last byte (median, 99th percentile and worst): the bytes are
// counted and drawn in the same frame.
// Beside each case, in a child process at the same time, a bare Qt window
// repaints rows like the upper view's once a frame tick (ToolkitFloor.h):
// its CPU per kB of the case's line is what the machine charged for the
// frames alone, under the same load.
// Then the ports open and quiet, then both closed, idleSeconds each.
// The writers are child processes, so the figures are the window's own.
#include "bench/ReceivePaced.h"

#include "bench/BenchSupport.h"
#include "bench/ToolkitFloor.h"
#include "monitor/Unit1.h"
#include "widgets/CountField.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <QEvent>
#include <QPushButton>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <vector>

using namespace kalvaro::bench;

namespace {

// Writes a random stream into a pty master in pieces on a fixed rhythm, from
// a child process, and notes when each piece went out.
class TPacedWriter {
public:
    TPacedWriter(int fd, unsigned seed, double bytesPerSecond, int pieceMs)
        : child_(fd, [=](TShared& shared) { Run(fd, seed, bytesPerSecond, pieceMs, shared); }) {}
    void Stop() { child_.Stop(); }
    std::size_t Sent() const { return child_.Sent(); }
    // The latency of each piece whose last byte count covers, measured now;
    // each piece is measured once.
    void Shown(std::size_t count, std::vector<double>& latencies) {
        const std::int64_t now = NowNs();
        const TShared& shared = child_.Shared();
        const std::size_t pieces = shared.Pieces;
        while (matched_ < pieces && shared.Piece[matched_].End <= count) {
            latencies.push_back(static_cast<double>(now - shared.Piece[matched_].WrittenNs) / 1e6);
            ++matched_;
        }
    }

private:
    static constexpr std::size_t MaxPieces = 1 << 16;
    struct TPiece {
        std::size_t End;  // the stream's length after this piece
        std::int64_t WrittenNs;
    };
    struct TShared {
        std::atomic<bool> Stop{false};
        std::atomic<std::size_t> Sent{0};
        std::atomic<std::size_t> Pieces{0};
        TPiece Piece[MaxPieces];
    };

    // The steady clock is the machine's monotonic clock: the same in both
    // processes.
    static std::int64_t NowNs() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    }

    static void Run(int fd, unsigned seed, double rate, int pieceMs, TShared& shared) {
        std::mt19937 random(seed);
        std::vector<char> piece;
        const std::int64_t start = NowNs();
        std::size_t sent = 0;
        for (std::int64_t tick = 1; !shared.Stop && shared.Pieces < MaxPieces; ++tick) {
            const std::int64_t due = start + tick * pieceMs * 1000000;
            const timespec at{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            const auto total = static_cast<std::size_t>(rate * static_cast<double>(tick * pieceMs) / 1000.0);
            piece.resize(total - sent);
            for (char& c : piece) c = static_cast<char>(random());
            const std::int64_t written = NowNs();
            std::size_t done = 0;
            while (done < piece.size()) {
                const ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
                if (n > 0) done += static_cast<std::size_t>(n);
                if (n < 0 && errno != EAGAIN && errno != EINTR) return;
                if (n <= 0) usleep(200);
            }
            sent = total;
            if (piece.empty()) continue;
            shared.Piece[shared.Pieces] = {sent, written};
            shared.Pieces = shared.Pieces + 1;
            shared.Sent = sent;
        }
    }

    TChildWriter<TShared> child_;
    std::size_t matched_ = 0;
};

// Calls back as a widget is painted, before it draws.
class TOnPaint : public QObject {
public:
    TOnPaint(QWidget* widget, std::function<void()> painted) : widget_(widget), painted_(std::move(painted)) {
        widget_->installEventFilter(this);
    }
    ~TOnPaint() override { widget_->removeEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted_();
        return false;
    }

private:
    QWidget* widget_;
    std::function<void()> painted_;
};

struct TLatency {
    double MedianMs = 0;
    double P99Ms = 0;  // 99 of 100 pieces were on screen within this
    double WorstMs = 0;
};

TLatency Summary(std::vector<double> latencies) {
    if (latencies.empty()) return {};
    std::sort(latencies.begin(), latencies.end());
    return {latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back()};
}

}  // namespace

int RunPacedCases(TForm1& form, const TPtyPair& pty1, const TPtyPair& pty2, double caseSeconds, double idleSeconds,
                  int onlyBits) {
    int failures = 0;
    std::printf("paced lines, HEX with a blank separator, %.0f s each:\n", caseSeconds);
    std::printf("  %-8s %-6s %-5s  %9s  %11s  %22s  %11s\n", "bit/s", "pieces", "ports", "CPU ms/kB", "wake-ups/s",
                "latency med/p99/max", "bare window");
    for (const int bits : {9600, 115200, 921600}) {
        if (onlyBits != 0 && bits != onlyBits) continue;
        for (const int pieceMs : {1, 16}) {
            for (const int ports : {1, 2}) {
                form.Button1->click();
                TToolkitFloor bare(*form.RichEdit1, TMonitorView::RepaintIntervalMs, caseSeconds);
                std::vector<double> latencies;
                const double rate = bits / 10.0;
                const double cpu0 = CpuSeconds();
                const double switches0 = ContextSwitches();
                const auto start = std::chrono::steady_clock::now();
                TPacedWriter w1(pty1.MasterFd(), 31, rate, pieceMs);
                std::unique_ptr<TPacedWriter> w2;
                if (ports == 2) w2 = std::make_unique<TPacedWriter>(pty2.MasterFd(), 32, rate, pieceMs);
                TOnPaint painted1(form.Edit2, [&] { w1.Shown(form.Edit2->ShownText().toULongLong(), latencies); });
                TOnPaint painted2(form.Edit7, [&] {
                    if (w2) w2->Shown(form.Edit7->ShownText().toULongLong(), latencies);
                });
                RunFor(caseSeconds);
                w1.Stop();
                if (w2) w2->Stop();
                const std::size_t sent2 = w2 ? w2->Sent() : 0;
                const bool counted = RunUntil(
                    [&] { return std::size_t(form.Port1Count) == w1.Sent() && std::size_t(form.Port2Count) == sent2; },
                    10);
                const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                const double cpu = CpuSeconds() - cpu0;
                const double switches = ContextSwitches() - switches0;
                const double kilobytes = (double(form.Port1Count) + double(form.Port2Count)) / 1000.0;
                const TLatency latency = Summary(latencies);
                const double bareMs = bare.MsPerSecond();
                std::printf("  %-8d %2d ms  %-5d  %9.3f  %11.0f  %6.1f / %5.1f / %5.1f ms  ", bits, pieceMs, ports,
                            cpu * 1000 / kilobytes, switches / wall, latency.MedianMs, latency.P99Ms, latency.WorstMs);
                if (bareMs < 0)
                    std::printf("%11s\n", "failed");
                else
                    std::printf("%11.3f\n", bareMs / (ports * rate / 1000));
                if (!counted) {
                    std::printf("  LOST BYTES: %d of %zu, %d of %zu\n", form.Port1Count, w1.Sent(), form.Port2Count,
                                sent2);
                    ++failures;
                }
            }
        }
    }

    const auto idle = [&](const char* what) {
        const double cpu0 = CpuSeconds();
        const double switches0 = ContextSwitches();
        RunFor(idleSeconds);
        std::printf("  %s: %.3f %% of a core, %.1f wake-ups/s\n", what, 100 * (CpuSeconds() - cpu0) / idleSeconds,
                    (ContextSwitches() - switches0) / idleSeconds);
    };
    std::printf("idle, %.0f s each:\n", idleSeconds);
    idle("both ports open, quiet");
    form.Comport1->Close();
    form.ComPort2->Close();
    RunFor(1);  // what the close left to do is not the closed window's cost
    idle("both ports closed");
    return failures;
}
