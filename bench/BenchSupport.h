#pragma once
// What the benchmarks that drive the real window share: the process's own
// CPU time, resident memory and context switches, the tests' pty pair (its
// master non-blocking, so that a writer never blocks where it cannot see a
// request to stop), serving the GUI event loop for a while or until a
// condition holds, the lateness of a 50 ms GUI timer, the upper view's HEX rendering,
// and a settings folder of the benchmark's own.
//
// Threads: everything here but CpuSeconds, ResidentMegabytes and
// ContextSwitches is for the GUI thread. Nothing here throws but the pty
// pair, which raises when no pty can be made: a benchmark cannot run
// without one.

#include "bench/ProcessCpu.h"
#include "platform/UucpLock.h"
#include "tests/support/PtyPair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace kalvaro::bench {

using kalvaro::test::TPtyPair;

// In a forked writer: closes every descriptor but the standard ones and fd,
// so that a slave or an eventfd held there does not change what the
// window's devices see.
inline void KeepOnlyDescriptor(int fd) {
    std::vector<int> inherited;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        inherited.push_back(std::atoi(entry.path().filename().c_str()));
    for (const int other : inherited)
        if (other > 2 && other != fd) ::close(other);
}

// Resident memory of this process in MiB.
inline double ResidentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kilobytes = 0;
            status >> kilobytes;
            return kilobytes / 1024.0;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// A writer in a child process, so that the figures of this process are
// Kalvaro's alone. It shares a TShared (with an atomic Stop and Sent) with
// this process; run(TShared&) is the child's work, which ends when Stop is
// set. The child keeps only fd of this process's descriptors.
template <class TShared>
class TChildWriter {
public:
    template <class Run>
    TChildWriter(int fd, Run run) {
        shared_ = static_cast<TShared*>(
            mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        new (shared_) TShared;
        child_ = fork();
        if (child_ == 0) {
            KeepOnlyDescriptor(fd);
            run(*shared_);
            _exit(0);
        }
    }
    ~TChildWriter() {
        Stop();
        munmap(shared_, sizeof(TShared));
    }
    TChildWriter(const TChildWriter&) = delete;
    TChildWriter& operator=(const TChildWriter&) = delete;

    void Stop() {
        if (child_ <= 0) return;
        shared_->Stop = true;
        waitpid(child_, nullptr, 0);
        child_ = -1;
    }
    std::size_t Sent() const { return shared_->Sent; }
    const TShared& Shared() const { return *shared_; }

private:
    TShared* shared_ = nullptr;
    pid_t child_ = -1;
};

// Context switches of this process so far, voluntary and involuntary
// together, threads that have ended included: how often its threads woke up.
inline double ContextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_nvcsw) + static_cast<double>(usage.ru_nivcsw);
}

// Serves the event loop for a while.
inline void RunFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

// Serves the event loop until condition holds or limitSeconds pass; returns
// the condition's last value. A 10 ms timer wakes the loop for conditions
// that other threads or processes change.
template <class Condition>
bool RunUntil(Condition condition, double limitSeconds) {
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer tick;
    tick.start(10);
    while (!condition() && elapsed.elapsed() < limitSeconds * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return condition();
}

// The lateness of a 50 ms timer while it runs, collected until Take().
class TLatenessProbe {
public:
    struct TFigures {
        double MedianMs = 0;
        double WorstMs = 0;
        std::size_t Ticks = 0;
    };

    TLatenessProbe() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            if (last_ > 0) lateness_.push_back(static_cast<double>(now - last_) / 1e6 - 50.0);
            last_ = now;
        });
        clock_.start();
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.start(50);
    }

    // The figures since the last Take, and a fresh start.
    TFigures Take() {
        TFigures figures;
        figures.Ticks = lateness_.size();
        if (!lateness_.empty()) {
            std::sort(lateness_.begin(), lateness_.end());
            figures.MedianMs = std::max(0.0, lateness_[lateness_.size() / 2]);
            figures.WorstMs = std::max(0.0, lateness_.back());
        }
        lateness_.clear();
        return figures;
    }

    void Report(const char* phase) {
        const TFigures figures = Take();
        if (figures.Ticks == 0) return;
        std::printf("  %s: 50 ms timer lateness median %.1f ms, worst %.1f ms (%zu ticks)\n", phase, figures.MedianMs,
                    figures.WorstMs, figures.Ticks);
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    std::vector<double> lateness_;
};

// Bytes as the upper view shows them in HEX with a one-blank separator.
inline std::string HexOf(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const unsigned char b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
        text.push_back(' ');
    }
    return text;
}

// A fresh settings folder (and lock-file folder) for the window, offscreen,
// removed when the object goes: the user's settings, serial ports and the
// machine's lock folder are never touched. Ends the
// program with exit code 2 when no folder can be made.
class TBenchSettings {
public:
    explicit TBenchSettings(const std::string& prefix) {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        folder_ = pattern;
        std::filesystem::create_directories(folder_ / "kalvaro");
        std::filesystem::create_directories(folder_ / "locks");
        afp::SetLockFolders({(folder_ / "locks").string()});
        ::setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    ~TBenchSettings() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    TBenchSettings(const TBenchSettings&) = delete;
    TBenchSettings& operator=(const TBenchSettings&) = delete;

    // The settings file maps COM1 and COM2 to these devices and lists
    // nothing of this machine.
    void UsePorts(const std::string& com1, const std::string& com2) const {
        std::ofstream(folder_ / "kalvaro" / "c_28_zirk.ini")
            << "[Ports]\nScan=0\nDemoPair=0\nCOM1=" << com1 << "\nCOM2=" << com2 << "\n";
    }
    const std::filesystem::path& Folder() const { return folder_; }

private:
    std::filesystem::path folder_;
};

}  // namespace kalvaro::bench
