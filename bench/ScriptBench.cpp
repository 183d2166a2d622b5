// How fast the real main window plays a script to port 1, what the GUI
// feels meanwhile, and what a long delay costs.
//
//   script_bench [script-megabytes]
//
// The window runs offscreen; the script is played with the input box's side
// button, its open dialog answered through the window's modal seam. Phases:
//  1. pty: a script of hexadecimal data lines ("41 42 ...", 32 bytes a line)
//     played to port 1 on a pty pair at full speed, the master read by a
//     thread of this program;
//  2. virtual: the same script to port 1 on a virtual null-modem pair at
//     115 200 bit/s, the far end read by a thread;
//     for both: the time the script took, whether every byte arrived in
//     order, and the lateness of a 50 ms timer (median and worst) while it
//     played;
//  3. one data line: a script of one 5 MB ASCII data line on the pty, and
//     the longest time the window went without answering while it played
//     (a 10 ms timer's longest gap);
//  4. delay: a script of %%DELAY 5000%% alone, and the process CPU time it
//     cost.
// It prints figures and never fails.
#include "bench/BenchSupport.h"
#include "monitor/Unit1.h"
#include "platform/CommBackends.h"
#include "platform/VirtualCommDevice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QTimer>
#include <QToolButton>

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
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kalvaro::bench;

namespace {

// Collects what arrives on the far end on a thread of its own, so the GUI
// thread plays the script undisturbed.
class TCollector {
public:
    using TRead = std::function<std::size_t(char* buffer, std::size_t size)>;
    explicit TCollector(TRead read) : read_(std::move(read)), thread_([this] { Run(); }) {}
    ~TCollector() {
        stop_ = true;
        thread_.join();
    }
    std::size_t Count() const { return count_; }
    std::string Bytes() {
        std::lock_guard guard(lock_);
        return bytes_;
    }

private:
    void Run() {
        std::vector<char> chunk(64 * 1024);
        while (!stop_) {
            const std::size_t got = read_(chunk.data(), chunk.size());
            if (got == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::lock_guard guard(lock_);
            bytes_.append(chunk.data(), got);
            count_ = bytes_.size();
        }
    }

    TRead read_;
    std::mutex lock_;
    std::string bytes_;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Random bytes written as hexadecimal data lines of 32 values, until the
// script holds about `size` characters.
std::string HexScript(std::size_t size, std::string& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::mt19937 random(5);
    std::string script = "%%HEX%%\r\n";
    while (script.size() < size) {
        for (int i = 0; i < 32; ++i) {
            const auto byte = static_cast<unsigned char>(random());
            data.push_back(static_cast<char>(byte));
            script.push_back(digits[byte >> 4]);
            script.push_back(digits[byte & 15]);
            script.push_back(i == 31 ? '\r' : ' ');
        }
        script.push_back('\n');
    }
    return script;
}

// The longest time the GUI thread went without serving its event loop, seen
// by a 10 ms timer, until Longest(), which counts the gap still open.
class TAnswerProbe {
public:
    TAnswerProbe() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Note(); });
        clock_.start();
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.start(10);
    }
    double LongestMs() {
        Note();
        return static_cast<double>(longest_) / 1e6;
    }

private:
    void Note() {
        const qint64 now = clock_.nsecsElapsed();
        if (now - last_ > longest_) {
            longest_ = now - last_;
            at_ = last_;
        }
        last_ = now;
    }
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
    qint64 at_ = 0;

public:
    // When the longest gap began, in seconds after the probe started.
    double LongestAt() const { return static_cast<double>(at_) / 1e9; }
};

// Plays the script file with the side button; returns the seconds it took.
double Play(TForm1& form, const QString& path) {
    form.SetModalRunner([path](QDialog& dialog) {
        static_cast<QFileDialog&>(dialog).selectFile(path);
        return int(QDialog::Accepted);
    });
    QElapsedTimer clock;
    clock.start();
    form.Edit4Button->click();
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

void PlayTo(TForm1& form, const char* title, int comNumber, const QString& script, const std::string& data,
            TCollector& collector, double arrivalLimit) {
    form.Comport1->SetComNumber(static_cast<std::uint16_t>(comNumber));
    form.Comport1->Open();
    form.Timer1Timer();
    std::printf("%s (%s):\n", title, form.Comport1->SettingsText().c_str());
    double seconds = 0;
    {
        TLatenessProbe probe;
        seconds = Play(form, script);
        probe.Report("while playing");
    }
    QElapsedTimer clock;
    clock.start();
    RunUntil([&] { return collector.Count() >= data.size(); }, arrivalLimit);
    const double drained = static_cast<double>(clock.elapsed()) / 1000;
    const std::string got = collector.Bytes();
    std::printf("  script played in %.2f s (%.0f bytes/s); the last byte arrived %.2f s later\n", seconds,
                static_cast<double>(data.size()) / seconds, drained);
    std::printf("  every byte arrived in order: %s (%zu of %zu bytes)\n", got == data ? "yes" : "NO", got.size(),
                data.size());
    form.Comport1->Close();
}

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? std::atof(argv[1]) : 1.0;

    const TBenchSettings settings("kalvaro-script-bench");
    const std::filesystem::path folder = settings.Folder();
    TPtyPair pty;
    const std::string pair = "script-bench-" + std::to_string(::getpid());
    settings.UsePorts(pty.SlavePath(), afp::virt::EndName(pair, afp::virt::TEnd::A));

    std::string data;
    const std::string script = HexScript(static_cast<std::size_t>(megabytes * 1024 * 1024), data);
    const std::filesystem::path scriptPath = std::filesystem::path(folder) / "data.cpo";
    std::ofstream(scriptPath, std::ios::binary) << script;
    const std::filesystem::path linePath = std::filesystem::path(folder) / "line.cpo";
    std::string line(5'000'000, ' ');
    for (std::size_t at = 0; at < line.size(); ++at) line[at] = static_cast<char>('!' + at % 90);
    std::ofstream(linePath, std::ios::binary) << "%%ASCII%%\r\n" << line << "\r\n";
    const std::filesystem::path delayPath = std::filesystem::path(folder) / "delay.cpo";
    std::ofstream(delayPath, std::ios::binary) << "%%DELAY 5000%%\r\n";
    std::printf("script: %zu characters, %zu data bytes\n", script.size(), data.size());

    QApplication app(argc, argv);
    QApplication::setApplicationName("Kalvaro");
    {
        TForm1 form;
        form.show();
        const QString scriptFile = QString::fromStdString(scriptPath.string());

        {
            const int master = pty.MasterFd();
            ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
            TCollector collector([master](char* buffer, std::size_t size) -> std::size_t {
                pollfd pfd{master, POLLIN, 0};
                if (::poll(&pfd, 1, 50) <= 0) return 0;
                const ssize_t n = ::read(master, buffer, size);
                return n > 0 ? static_cast<std::size_t>(n) : 0;
            });
            PlayTo(form, "pty, full speed", 1, scriptFile, data, collector, 30);
        }

        {
            form.Comport1->SetBaudRate(br115200);
            auto peer = afp::OpenVirtualCommDevice(afp::virt::EndName(pair, afp::virt::TEnd::B));
            if (!peer) return 2;
            DCB dcb{};
            peer->GetCommState(dcb);
            dcb.BaudRate = 115200;
            peer->SetCommState(dcb);
            peer->SetCommTimeouts(COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0});
            afp::TKernelEvent event(true);
            afp::TOverlapped record{&event};
            TCollector collector([&](char* buffer, std::size_t size) -> std::size_t {
                DWORD read = 0;
                if (!peer->ReadFile(buffer, static_cast<DWORD>(size), read, record)) return 0;
                return read;
            });
            PlayTo(form, "virtual pair, 115200 bit/s", 2, scriptFile, data, collector, 60);
        }

        {
            const int master = pty.MasterFd();
            TCollector collector([master](char* buffer, std::size_t size) -> std::size_t {
                pollfd pfd{master, POLLIN, 0};
                if (::poll(&pfd, 1, 50) <= 0) return 0;
                const ssize_t n = ::read(master, buffer, size);
                return n > 0 ? static_cast<std::size_t>(n) : 0;
            });
            form.Comport1->SetComNumber(1);
            form.Comport1->Open();
            form.Timer1Timer();
            TAnswerProbe probe;
            const double seconds = Play(form, QString::fromStdString(linePath.string()));
            const double longest = probe.LongestMs();
            RunUntil([&] { return collector.Count() >= line.size(); }, 30);
            std::printf(
                "one data line of %zu characters (pty): played in %.2f s; the window went at most %.0f ms without "
                "answering (from %.2f s on); every byte arrived in order: %s\n",
                line.size(), seconds, longest, probe.LongestAt(), collector.Bytes() == line ? "yes" : "NO");
            form.Comport1->Close();
        }

        form.Comport1->SetComNumber(2);
        form.Comport1->Open();
        form.Timer1Timer();
        const double cpu0 = CpuSeconds();
        const double seconds = Play(form, QString::fromStdString(delayPath.string()));
        const double cpu = CpuSeconds() - cpu0;
        std::printf(
            "delay: %%%%DELAY 5000%%%% took %.2f s and %.3f s of process CPU (%.2f %% of a core), port 1 open\n",
            seconds, cpu, 100 * cpu / seconds);
        form.Comport1->Close();
    }
    return 0;
}
