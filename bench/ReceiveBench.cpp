// How fast the real main window shows what arrives, and what it costs.
//
//   receive_bench [flood-seconds] [paced-seconds] [idle-seconds] [total-megabytes]
//                 [long-separator-seconds] [session-seconds] [paced-case-seconds]
//   receive_bench paced [paced-case-seconds] [idle-seconds] [bit/s]
//   receive_bench floor ...   (the paced cases' child: ToolkitFloor.h)
//
// The window runs offscreen with port 1 and port 2 on two pty pairs whose
// masters this program owns; the upper view is in HEX with a one-blank
// separator. Phases:
//  1. flood: a writer pushes random bytes into each master as fast as the
//     window takes them (the pty holds a writer that is ahead), until
//     total-megabytes have been received or flood-seconds have passed twice
//     over; reports bytes per second shown per port, CPU per kB, the lateness
//     of a 50 ms timer (median and worst) and resident memory growth;
//  2. long separator: the longest separator the settings file holds (2045
//     characters) during a flood on both ports for long-separator-seconds;
//     reports bytes per second counted and the highest resident memory seen
//     (sampled every 20 ms), which the views' bound keeps small however long
//     the separator;
//  3. paced: 92 160 bytes a second (921 600 bit/s) into port 1 alone for
//     paced-seconds; reports CPU per kB and checks the view's text against
//     what was sent;
//  4. time stamps and the log: the flood of phase 1 for session-seconds with
//     the upper view's time stamps on, then with a log running (into the
//     benchmark's own folder, deleted afterwards), then with both; and the
//     paced line of phase 3 with both; to compare with phases 1 and 3, where
//     both are off, in MB/s shown and CPU per kB;
//  5. paced lines: 9 600, 115 200 and 921 600 bit/s in 1 ms and 16 ms
//     pieces, on one and on both ports, paced-case-seconds each (6 by
//     default): CPU per kB, wake-ups per second and the time from a write to
//     its count on screen, beside a bare Qt window's CPU per kB for the same
//     frames at the same time (ReceivePaced.h);
//  6. idle: both ports open and quiet, then both closed, idle-seconds each.
// With "paced" as its first argument it runs phases 5 and 6 alone, at all
// three speeds or at the one given.
// The writers run in child processes, so the CPU figures are the window's
// own. Every count is checked against what was sent. It prints figures and
// never fails on time; it exits 1 only when bytes were lost or shown wrongly.
#include "bench/BenchSupport.h"
#include "bench/ReceivePaced.h"
#include "bench/ToolkitFloor.h"
#include "monitor/Unit1.h"
#include "widgets/LimitedEdit.h"
#include "widgets/MonitorView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kalvaro::bench;

namespace {

using Clock = std::chrono::steady_clock;

// Writes a reproducible random stream into a pty master, from a child
// process, so that the figures of this process are Kalvaro's alone.
class TWriter {
public:
    TWriter(int fd, unsigned seed, double bytesPerSecond)
        : child_(fd, [=](TShared& shared) { Run(fd, seed, bytesPerSecond, shared); }) {}
    void Stop() { child_.Stop(); }
    std::size_t Sent() const { return child_.Sent(); }
    // The first count bytes of the stream a writer with this seed sends.
    static std::string Stream(unsigned seed, std::size_t count) {
        std::mt19937 random(seed);
        std::string bytes(count, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        return bytes;
    }

private:
    struct TShared {
        std::atomic<bool> Stop{false};
        std::atomic<std::size_t> Sent{0};
    };

    static void Run(int fd, unsigned seed, double rate, TShared& shared) {
        std::mt19937 random(seed);
        std::vector<char> block(4096);
        const auto start = Clock::now();
        std::size_t sent = 0;
        while (!shared.Stop) {
            std::size_t want = block.size();
            if (rate > 0) {
                const double due = std::chrono::duration<double>(Clock::now() - start).count() * rate;
                if (due <= static_cast<double>(sent)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                want = std::min(want, static_cast<std::size_t>(due) - sent);
            }
            for (std::size_t i = 0; i < want; ++i) block[i] = static_cast<char>(random());
            std::size_t done = 0;
            while (done < want && !shared.Stop) {
                pollfd pfd{fd, POLLOUT, 0};
                if (::poll(&pfd, 1, 100) <= 0) continue;
                const ssize_t n = ::write(fd, block.data() + done, want - done);
                if (n > 0) done += static_cast<std::size_t>(n);
            }
            sent += done;
            shared.Sent = sent;
            // Bytes generated but not written would break the stream check.
            if (done < want) break;
        }
    }

    TChildWriter<TShared> child_;
};

// Shows the window, the upper view in HEX with a blank separator, and opens
// COM1 and COM2.
void OpenBothInHex(TForm1& form) {
    form.show();
    // The first activation resets the counts: let it happen before any
    // byte is counted.
    form.activateWindow();
    RunUntil([&] { return QApplication::activeWindow() == &form; }, 5);
    form.RadioButton2->click();  // HEX
    form.Edit5->setText(" ");
    for (TAfComPort* port : {form.Comport1, form.ComPort2}) {
        port->SetComNumber(port == form.Comport1 ? 1 : 2);
        port->Open();
    }
}

// Both ports flooded for seconds by writers with seeds seed and seed + 1;
// then up to 10 s for every byte to be counted.
struct TFlood {
    std::size_t Sent1 = 0;
    std::size_t Sent2 = 0;
    bool Counted = false;
    double Wall = 0;
};
TFlood FloodBoth(TForm1& form, TPtyPair& pty1, TPtyPair& pty2, unsigned seed, double seconds) {
    const auto start = Clock::now();
    TWriter w1(pty1.MasterFd(), seed, 0);
    TWriter w2(pty2.MasterFd(), seed + 1, 0);
    RunFor(seconds);
    w1.Stop();
    w2.Stop();
    TFlood flood{w1.Sent(), w2.Sent(), false, 0};
    flood.Counted = RunUntil(
        [&] { return std::size_t(form.Port1Count) == flood.Sent1 && std::size_t(form.Port2Count) == flood.Sent2; }, 10);
    flood.Wall = std::chrono::duration<double>(Clock::now() - start).count();
    return flood;
}

// The shown rate of each port over the flood, and a failure when a byte was
// not counted.
int ReportFlood(const TForm1& form, const TFlood& flood) {
    std::printf("  port 1: %.2f MB/s shown, port 2: %.2f MB/s shown (%d and %d bytes counted)\n",
                form.Port1Count / flood.Wall / 1e6, form.Port2Count / flood.Wall / 1e6, form.Port1Count,
                form.Port2Count);
    if (flood.Counted) return 0;
    std::printf("  LOST BYTES: %d of %zu, %d of %zu\n", form.Port1Count, flood.Sent1, form.Port2Count, flood.Sent2);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "floor") {
        QApplication app(argc, argv);
        return RunToolkitFloor(argc, argv);
    }
    const TBenchSettings settings("kalvaro-bench");
    TPtyPair pty1;
    TPtyPair pty2;
    settings.UsePorts(pty1.SlavePath(), pty2.SlavePath());
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kalvaro");
    TForm1 form;
    OpenBothInHex(form);

    if (argc > 1 && std::string(argv[1]) == "paced") {
        return RunPacedCases(form, pty1, pty2, argc > 2 ? std::atof(argv[2]) : 6, argc > 3 ? std::atof(argv[3]) : 10,
                             argc > 4 ? std::atoi(argv[4]) : 0)
                   ? 1
                   : 0;
    }
    const double floodSeconds = argc > 1 ? std::atof(argv[1]) : 25;
    const double pacedSeconds = argc > 2 ? std::atof(argv[2]) : 10;
    const double idleSeconds = argc > 3 ? std::atof(argv[3]) : 20;
    const double totalMegabytes = argc > 4 ? std::atof(argv[4]) : 200;
    const double longSeparatorSeconds = argc > 5 ? std::atof(argv[5]) : 10;
    const double sessionSeconds = argc > 6 ? std::atof(argv[6]) : 10;
    const double pacedCaseSeconds = argc > 7 ? std::atof(argv[7]) : 6;
    int failures = 0;
    {
        // 1. Flood on both ports.
        std::printf("flood, both ports, HEX with a blank separator:\n");
        const double rss0 = ResidentMegabytes();
        double rssAfterFlood = 0;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        auto probe = std::make_unique<TLatenessProbe>();
        {
            TWriter w1(pty1.MasterFd(), 1, 0);
            TWriter w2(pty2.MasterFd(), 2, 0);
            RunFor(floodSeconds);
            rssAfterFlood = ResidentMegabytes();
            RunUntil([&] { return (w1.Sent() + w2.Sent()) / 1e6 >= totalMegabytes; }, floodSeconds);
            w1.Stop();
            w2.Stop();
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            RunUntil(
                [&] { return std::size_t(form.Port1Count) == w1.Sent() && std::size_t(form.Port2Count) == w2.Sent(); },
                10);
            const double cpu = CpuSeconds() - cpu0;
            const double received = double(form.Port1Count) + double(form.Port2Count);
            std::printf("  port 1: %.2f MB/s shown (%d of %zu bytes counted)\n", form.Port1Count / wall / 1e6,
                        form.Port1Count, w1.Sent());
            std::printf("  port 2: %.2f MB/s shown (%d of %zu bytes counted)\n", form.Port2Count / wall / 1e6,
                        form.Port2Count, w2.Sent());
            std::printf("  CPU %.3f ms per kB received (%.1f s CPU over %.1f s)\n", cpu * 1000 / (received / 1000), cpu,
                        wall);
            std::printf("  resident memory: %.0f MB before, +%.0f MB after %.0f s, +%.0f MB after %.0f MB received\n",
                        rss0, rssAfterFlood - rss0, floodSeconds, ResidentMegabytes() - rss0, received / 1e6);
            probe->Report("flood");
            if (std::size_t(form.Port1Count) != w1.Sent() || std::size_t(form.Port2Count) != w2.Sent()) {
                std::printf("  LOST BYTES: open %d %d, waiting %d %d, timers %d %d\n", form.Comport1->IsOpen(),
                            form.ComPort2->IsOpen(), form.Comport1->InCount(), form.ComPort2->InCount(),
                            form.Timer2->isActive(), form.Timer3->isActive());

                ++failures;
            }
        }

        // 2. Flood with the longest separator.
        form.Button1->click();
        std::printf("flood, both ports, HEX with a 2045-character separator:\n");
        {
            const QString blank = form.Edit5->text();
            form.Edit5->setText(QString(2045, u'-'));
            double peak = ResidentMegabytes();
            const double before = peak;
            QTimer sampler;
            QObject::connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, ResidentMegabytes()); });
            sampler.start(20);
            const TFlood flood = FloodBoth(form, pty1, pty2, 11, longSeparatorSeconds);
            sampler.stop();
            peak = std::max(peak, ResidentMegabytes());
            failures += ReportFlood(form, flood);
            std::printf("  resident memory: %.0f MB before, at most %.0f MB during, view holds %zu bytes\n", before,
                        peak, form.RichEdit1->Size());
            form.Edit5->setText(blank);
        }

        // 3. One port at 921 600 bit/s.
        form.Button1->click();
        std::printf("paced, port 1 at 92160 B/s:\n");
        const double cpu1 = CpuSeconds();
        {
            TWriter w1(pty1.MasterFd(), 7, 92160);
            RunFor(pacedSeconds);
            w1.Stop();
            RunUntil([&] { return std::size_t(form.Port1Count) == w1.Sent(); }, 10);
            const double cpu = CpuSeconds() - cpu1;
            std::printf("  %d of %zu bytes counted, CPU %.3f ms per kB\n", form.Port1Count, w1.Sent(),
                        cpu * 1000 / (form.Port1Count / 1000.0));
            probe->Report("paced");
            const std::string expected = HexOf(TWriter::Stream(7, w1.Sent()));
            const std::string shown = form.RichEdit1->PlainText();
            const std::size_t tail = std::min(shown.size(), expected.size());
            const bool same =
                tail > 0 && shown.compare(shown.size() - tail, tail, expected, expected.size() - tail) == 0;
            std::printf("  view text matches what was sent: %s (%zu characters compared)\n", same ? "yes" : "NO", tail);
            if (!same || std::size_t(form.Port1Count) != w1.Sent()) ++failures;
        }

        // 4. Time stamps and the log.
        const auto logPath = QString::fromStdString((settings.Folder() / "bench.log").string());
        form.SetModalRunner([&](QDialog& dialog) {
            static_cast<QFileDialog&>(dialog).selectFile(logPath);
            return int(QDialog::Accepted);
        });
        // Switches the options as the user does, with their menu entries.
        const auto session = [&](bool stamps, bool log) {
            if (form.Stamps1->isChecked() != stamps) form.Stamps1->trigger();
            if (form.LogRunning() != log) form.LogToFile1->trigger();
        };
        const auto logMegabytes = [&] {
            std::error_code none;
            const auto size = std::filesystem::file_size(logPath.toStdString(), none);
            return none ? 0.0 : static_cast<double>(size) / 1e6;
        };
        const struct {
            const char* Name;
            bool Stamps;
            bool Log;
        } modes[] = {
            {"time stamps", true, false}, {"a running log", false, true}, {"time stamps and a log", true, true}};
        for (const auto& mode : modes) {
            form.Button1->click();
            session(mode.Stamps, mode.Log);
            std::printf("flood, both ports, HEX with a blank separator, %s:\n", mode.Name);
            const double cpu0 = CpuSeconds();
            const TFlood flood = FloodBoth(form, pty1, pty2, 21, sessionSeconds);
            session(false, false);
            const double cpu = CpuSeconds() - cpu0;
            const double received = double(form.Port1Count) + double(form.Port2Count);
            failures += ReportFlood(form, flood);
            std::printf("  CPU %.3f ms per kB received", cpu * 1000 / (received / 1000));
            if (mode.Log) std::printf(", log %.0f MB", logMegabytes());
            std::printf("\n");
            probe->Report(mode.Name);
            std::filesystem::remove(logPath.toStdString());
        }
        form.Button1->click();
        std::printf("paced, port 1 at 92160 B/s, time stamps and a log:\n");
        {
            session(true, true);
            const double cpu0 = CpuSeconds();
            TWriter w1(pty1.MasterFd(), 8, 92160);
            RunFor(pacedSeconds);
            w1.Stop();
            RunUntil([&] { return std::size_t(form.Port1Count) == w1.Sent(); }, 10);
            session(false, false);
            const double cpu = CpuSeconds() - cpu0;
            std::printf("  %d of %zu bytes counted, CPU %.3f ms per kB, log %.1f MB\n", form.Port1Count, w1.Sent(),
                        cpu * 1000 / (form.Port1Count / 1000.0), logMegabytes());
            probe->Report("paced with both");
            std::filesystem::remove(logPath.toStdString());
            if (std::size_t(form.Port1Count) != w1.Sent()) ++failures;
        }

        // 5 and 6. Paced lines and idle, without the probe's own timer.
        probe.reset();
        failures += RunPacedCases(form, pty1, pty2, pacedCaseSeconds, idleSeconds);
    }
    return failures ? 1 : 0;
}
