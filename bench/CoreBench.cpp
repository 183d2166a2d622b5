// Throughput and idle cost of the port core on a pty pair.
//
//   core_bench [megabytes] [idle-seconds]
//
// Prints: write throughput through QueueBytes and the write thread (MB/s and
// CPU seconds per MB), read throughput with QueryComStat + ReadBytes as the
// monitor's polling does, and the CPU an open, quiet core uses. It runs with
// its own temporary settings folder whose port map names only the pty, and
// never fails on time.
#include "bench/ProcessCpu.h"
#include "platform/UucpLock.h"
#include "serial/AfComPortCore.h"
#include "tests/support/PtyPair.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using kalvaro::bench::CpuSeconds;

using kalvaro::test::TPtyPair;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

DCB FastDcb() {
    DCB dcb = MakeDefaultDcb();
    dcb.BaudRate = 4000000;
    return dcb;
}

void MeasureWrite(std::size_t total) {
    TPtyPair pty;
    std::ofstream(std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "kalvaro/c_28_zirk.ini")
        << "[Ports]\nScan=0\nDemoPair=0\nCOM1=" << pty.SlavePath() << "\n";
    TAfComPortCore core;
    core.SetOutQueueSize(64 * 1024);
    core.SetDcb(FastDcb());
    core.OpenDevice(1);

    std::atomic<std::size_t> received{0};
    std::thread drain([&] {
        while (received < total) {
            const std::size_t want = std::min<std::size_t>(64 * 1024, total - received);
            const std::size_t n = pty.Read(want, std::chrono::seconds(1)).size();
            if (n == 0) break;
            received += n;
        }
    });

    const std::vector<std::uint8_t> block(4096, 0x55);
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::size_t queued = 0;
    while (queued < total) {
        if (core.QueueBytes(block.data(), static_cast<std::int32_t>(block.size())))
            queued += block.size();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    drain.join();
    const double wall = Seconds(Clock::now() - t0);
    const double cpu = CpuSeconds() - cpu0;
    const double mb = static_cast<double>(received) / 1e6;
    std::printf(
        "write: %.1f MB in %.2f s = %.1f MB/s, %.4f CPU s per MB (queueing thread polls every 200 us when full)\n", mb,
        wall, mb / wall, cpu / mb);
    core.CloseDevice();
}

void MeasureRead(std::size_t total) {
    TPtyPair pty;
    std::ofstream(std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "kalvaro/c_28_zirk.ini")
        << "[Ports]\nScan=0\nDemoPair=0\nCOM1=" << pty.SlavePath() << "\n";
    TAfComPortCore core;
    core.SetDcb(FastDcb());
    core.OpenDevice(1);

    std::thread feed([&] {
        for (std::size_t sent = 0; sent < total;) {
            const std::vector<unsigned char> block(std::min<std::size_t>(64 * 1024, total - sent), 0x2A);
            const std::size_t n = pty.Write(block);
            sent += n;
            if (n < block.size()) break;  // nothing read for a while: the core has stopped
        }
    });

    std::vector<std::uint8_t> buffer(1 << 20);
    std::size_t received = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    while (received < total && Seconds(Clock::now() - t0) < 120) {
        COMSTAT stat{};
        core.QueryComStat(stat);
        if (stat.cbInQue == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const std::int32_t n = core.ReadBytes(
            buffer.data(), static_cast<std::int32_t>(std::min<std::size_t>(stat.cbInQue, buffer.size())));
        if (n > 0) received += static_cast<std::size_t>(n);
    }
    const double wall = Seconds(Clock::now() - t0);
    const double cpu = CpuSeconds() - cpu0;
    feed.join();
    const double mb = static_cast<double>(received) / 1e6;
    std::printf("read:  %.1f MB in %.2f s = %.1f MB/s, %.4f CPU s per MB (polling every 1 ms like the monitor)\n", mb,
                wall, mb / wall, cpu / mb);
    core.CloseDevice();
}

void MeasureIdle(int seconds) {
    TPtyPair pty;
    std::ofstream(std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "kalvaro/c_28_zirk.ini")
        << "[Ports]\nScan=0\nDemoPair=0\nCOM1=" << pty.SlavePath() << "\n";
    TAfComPortCore core;
    core.SetDcb(FastDcb());
    core.OpenDevice(1);
    const double cpu0 = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds() - cpu0;
    std::printf("idle:  open core, quiet line, %d s: %.4f CPU s (%.3f %% of a core)\n", seconds, cpu,
                100.0 * cpu / seconds);
    core.CloseDevice();
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    char folder[] = "/tmp/kalvaro-bench-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    setenv("XDG_CONFIG_HOME", folder, 1);
    std::filesystem::create_directories(std::filesystem::path(folder) / "kalvaro");
    std::filesystem::create_directories(std::filesystem::path(folder) / "locks");
    afp::SetLockFolders({(std::filesystem::path(folder) / "locks").string()});

    MeasureWrite(megabytes << 20);
    MeasureRead(megabytes << 20);
    MeasureIdle(idleSeconds);
    std::filesystem::remove_all(folder);
    return 0;
}
