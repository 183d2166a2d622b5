// Throughput of a network port: a pty served by Debian's ser2net with RFC
// 2217 on the loopback address, opened through the network backend, beside
// the same pty opened directly through the POSIX backend, and ser2net alone
// with a plain TCP client (what the server itself can move).
//
//   network_bench [megabytes]   (default 32)
//
// Prints, for receiving (the pty's far end writes, the port reads) and for
// sending (the port writes, the far end reads): MB/s, and CPU per kB in this
// process and in ser2net. Bytes are checked on arrival. Never fails on time;
// says so and stops when ser2net is not installed.
#include "bench/ProcessCpu.h"
#include "platform/CommBackends.h"
#include "platform/NetSocket.h"
#include "platform/UucpLock.h"
#include "tests/support/PtyPair.h"
#include "tests/support/Ser2net.h"
#include "tests/support/TempFolder.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using kalvaro::bench::CpuSeconds;

using kalvaro::test::TPtyPair;
using kalvaro::test::TSer2net;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
constexpr std::size_t Chunk = 64 * 1024;

// CPU seconds another process has used (utime + stime of /proc/<pid>/stat).
double CpuSecondsOf(pid_t pid) {
    if (pid <= 0) return 0;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = end + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    // Fields from the state on: utime and stime are the 12th and 13th.
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Every value but 0xFF when noIac, so that a plain TCP client needs no Telnet.
Bytes Pattern(std::size_t size, bool noIac) {
    Bytes bytes(size);
    std::uint32_t state = 12345;
    for (unsigned char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
        if (noIac && byte == 0xFF) byte = 0x7F;
    }
    return bytes;
}

struct TFigures {
    double Seconds = 0;
    double Cpu = 0;
    double ServerCpu = 0;
    bool Intact = false;
};

void Print(const char* what, std::size_t size, const TFigures& figures, bool server) {
    const double kilobytes = static_cast<double>(size) / 1000.0;
    std::printf("%-44s %7.1f MB/s  CPU %6.2f us/kB here", what, static_cast<double>(size) / 1e6 / figures.Seconds,
                figures.Cpu * 1e6 / kilobytes);
    if (server) std::printf(", %6.2f us/kB in ser2net", figures.ServerCpu * 1e6 / kilobytes);
    std::printf("%s\n", figures.Intact ? "" : "  (BYTES DIFFER)");
}

// Runs work with ser2net's and this process's CPU counted.
TFigures Measure(pid_t server, const std::function<bool()>& work) {
    const double cpu = CpuSeconds();
    const double serverCpu = CpuSecondsOf(server);
    const auto start = Clock::now();
    TFigures figures;
    figures.Intact = work();
    figures.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.Cpu = CpuSeconds() - cpu;
    figures.ServerCpu = CpuSecondsOf(server) - serverCpu;
    return figures;
}

bool Configure(afp::TCommDevice& device) {
    DCB dcb = MakeDefaultDcb();
    dcb.BaudRate = 4000000;
    return device.SetCommTimeouts({MAXDWORD, 0, 0, 0, 0}) && device.SetupComm(1u << 20, 64 * 1024) &&
           device.SetCommMask(EV_RXCHAR) && device.SetCommState(dcb);
}

// Reads size bytes from the device as the engine's event thread does: a
// comm-event wait, then reads that return at once.
Bytes ReadAll(afp::TCommDevice& device, std::size_t size) {
    Bytes received;
    received.reserve(size);
    Bytes buffer(Chunk);
    afp::TKernelEvent readEvent(true);
    afp::TKernelEvent waitEvent(true);
    afp::TOverlapped readRecord{&readEvent};
    afp::TOverlapped waitRecord{&waitEvent};
    DWORD mask = 0;
    bool waiting = false;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (received.size() < size && Clock::now() < deadline) {
        DWORD read = 0;
        if (!device.ReadFile(buffer.data(), static_cast<DWORD>(buffer.size()), read, readRecord)) break;
        if (read > 0) {
            received.insert(received.end(), buffer.begin(), buffer.begin() + read);
            continue;
        }
        if (!waiting) {
            if (device.WaitCommEvent(mask, waitRecord)) continue;
            if (afp::LastError() != ERROR_IO_PENDING) break;
            waiting = true;
        }
        if (afp::WaitForEvent(waitEvent, 1000)) waiting = false;
    }
    // The device must not be left holding the records of this frame.
    if (waiting) {
        device.SetCommMask(EV_RXCHAR);
        afp::WaitForEvent(waitEvent, 1000);
    }
    return received;
}

bool WriteAll(afp::TCommDevice& device, const Bytes& data) {
    afp::TKernelEvent event(true);
    afp::TOverlapped record{&event};
    for (std::size_t done = 0; done < data.size();) {
        const auto count = static_cast<DWORD>(std::min(Chunk, data.size() - done));
        DWORD written = 0;
        if (!device.WriteFile(data.data() + done, count, written, record) && afp::LastError() != ERROR_IO_PENDING)
            return false;
        if (!device.GetOverlappedResult(record, written, true)) return false;
        done += written;
    }
    return true;
}

TFigures DeviceReceive(afp::TCommDevice& device, TPtyPair& pty, std::size_t size, pid_t server) {
    const Bytes data = Pattern(size, false);
    return Measure(server, [&] {
        std::thread writer([&] { pty.Write(data, std::chrono::seconds(120)); });
        const Bytes received = ReadAll(device, size);
        writer.join();
        return received == data;
    });
}

TFigures DeviceSend(afp::TCommDevice& device, TPtyPair& pty, std::size_t size, pid_t server) {
    const Bytes data = Pattern(size, false);
    return Measure(server, [&] {
        Bytes received;
        std::thread reader([&] { received = pty.Read(size, std::chrono::seconds(120)); });
        const bool written = WriteAll(device, data);
        reader.join();
        return written && received == data;
    });
}

// ser2net alone: a TCP client that takes the Telnet stream as it comes
// (the data has no 0xFF, so it needs no decoding past the greeting).
TFigures PlainReceive(afp::TNetSocket& client, TPtyPair& pty, std::size_t size, pid_t server) {
    const Bytes data = Pattern(size, true);
    return Measure(server, [&] {
        std::thread writer([&] { pty.Write(data, std::chrono::seconds(120)); });
        Bytes buffer(Chunk);
        std::size_t received = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        while (received < size && Clock::now() < deadline) {
            const afp::TNetResult got = client.Receive(buffer.data(), buffer.size());
            if (got.Status == afp::TNetResult::TStatus::Done)
                received += got.Count;
            else if (got.Status == afp::TNetResult::TStatus::WouldBlock)
                client.Wait(true, false, 1000);
            else
                break;
        }
        writer.join();
        return received >= size;
    });
}

TFigures PlainSend(afp::TNetSocket& client, TPtyPair& pty, std::size_t size, pid_t server) {
    const Bytes data = Pattern(size, true);
    return Measure(server, [&] {
        Bytes received;
        std::thread reader([&] { received = pty.Read(size, std::chrono::seconds(120)); });
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        for (std::size_t done = 0; done < size && Clock::now() < deadline;) {
            const afp::TNetResult sent = client.Send(data.data() + done, std::min(Chunk, size - done));
            if (sent.Status == afp::TNetResult::TStatus::Done)
                done += sent.Count;
            else if (sent.Status == afp::TNetResult::TStatus::WouldBlock)
                client.Wait(false, true, 1000);
            else
                break;
        }
        reader.join();
        return received == data;
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Lock files of the directly opened pty go to a folder of our own.
    kalvaro::test::TTempFolder locks("kalvaro-bench-locks");
    afp::SetLockFolders({locks.Path().string()});
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
    const std::size_t size = std::max<std::size_t>(1, megabytes) << 20;
    if (TSer2net::Program().empty()) {
        std::printf("network_bench: ser2net is not installed (Debian package ser2net); nothing measured\n");
        return 0;
    }
    std::printf("network_bench: %zu MiB each way, loopback, ser2net with RFC 2217\n", size >> 20);
    {
        TPtyPair pty;
        auto device = afp::OpenPosixCommDevice(pty.SlavePath());
        if (!device || !Configure(*device)) {
            std::printf("cannot open %s\n", pty.SlavePath().c_str());
            return 1;
        }
        Print("pty read directly, receive", size, DeviceReceive(*device, pty, size, 0), false);
        Print("pty read directly, send", size, DeviceSend(*device, pty, size, 0), false);
    }
    {
        TPtyPair pty;
        TSer2net server(pty.SlavePath());
        if (!server.Running()) {
            std::printf("ser2net: %s\n", server.Problem().c_str());
            return 1;
        }
        auto device = afp::OpenNetworkCommDevice(server.Address());
        if (!device || !Configure(*device)) {
            std::printf("cannot open %s: error %u\n", server.Address().c_str(), afp::LastError());
            return 1;
        }
        Print("through ser2net (rfc2217://), receive", size, DeviceReceive(*device, pty, size, server.Pid()), true);
        Print("through ser2net (rfc2217://), send", size, DeviceSend(*device, pty, size, server.Pid()), true);
    }
    {
        TPtyPair pty;
        TSer2net server(pty.SlavePath());
        std::string failure;
        auto client = server.Running()
                          ? afp::TNetSocket::Connect("127.0.0.1", server.Port(), std::chrono::seconds(2), failure)
                          : nullptr;
        if (!client) {
            std::printf("ser2net alone: cannot connect: %s%s\n", failure.c_str(), server.Problem().c_str());
            return 1;
        }
        Print("ser2net alone, plain TCP client, receive", size, PlainReceive(*client, pty, size, server.Pid()), true);
        Print("ser2net alone, plain TCP client, send", size, PlainSend(*client, pty, size, server.Pid()), true);
    }
    return 0;
}
