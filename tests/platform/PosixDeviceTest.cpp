// What only the POSIX backend does: opening tty nodes exclusively, turning a
// DCB into the kernel's termios (read back through the pty master, which
// answers for its slave), a pty's hang-up, thread priorities as nice
// values, the trace of opens and settings. The behaviour every backend
// shares is in CommDeviceContractTest.
#include "platform/CommBackends.h"
#include "platform/CommDevice.h"
#include "platform/ThreadPriority.h"
#include "platform/VirtualCommDevice.h"
#include "tests/platform/DeviceFixtures.h"
#include "tests/support/HeldTty.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TraceCapture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

// Last: the kernel's terminal header defines short macro names (B0, ECHO, …).
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kalvaro::test {
namespace {

using afp::LastError;
using afp::OpenPosixCommDevice;
using afp::TCommDevice;

constexpr DWORD DtrOn = DTR_CONTROL_ENABLE << DCB_FDTRCONTROL_SHIFT;
constexpr DWORD RtsOn = RTS_CONTROL_ENABLE << DCB_FRTSCONTROL_SHIFT;
constexpr DWORD RtsHandshake = RTS_CONTROL_HANDSHAKE << DCB_FRTSCONTROL_SHIFT;
constexpr DWORD DtrHandshake = DTR_CONTROL_HANDSHAKE << DCB_FDTRCONTROL_SHIFT;
constexpr DWORD RtsToggle = RTS_CONTROL_TOGGLE << DCB_FRTSCONTROL_SHIFT;

// Bigger than a pty's kernel buffers hold while the master does not read.
constexpr std::size_t StuckWriteSize = 1u << 20;

// The slave's settings as the kernel holds them.
termios2 LineOf(const TPtyPair& pty) {
    termios2 line{};
    EXPECT_EQ(0, ::ioctl(pty.MasterFd(), TCGETS2, &line)) << "errno " << errno;
    return line;
}

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// CPU the whole process burns while the test thread sits out one second. The
// second is a measuring window, not a wait for something to happen.
double CpuSecondsOverOneSecond() {
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return ProcessCpuSeconds() - before;
}

using TTempDir = kalvaro::test::TTempFolder;

// ---- opening ----

TEST(PosixOpen, MissingNodeIsFileNotFound) {
    TTempDir dir;
    afp::SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(nullptr, OpenPosixCommDevice((dir.Path() / "ttyNothing").string()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, LastError());
    EXPECT_EQ(nullptr, OpenPosixCommDevice((dir.Path() / "no-folder" / "ttyNothing").string()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, LastError());
}

TEST(PosixOpen, NodesThatAreNoTerminalExistButCannotBeOpened) {
    TTempDir dir;
    const auto file = dir.Path() / "plain-file";
    { std::ofstream(file) << "not a terminal"; }
    EXPECT_EQ(nullptr, OpenPosixCommDevice(file.string()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, LastError());
    EXPECT_EQ(nullptr, OpenPosixCommDevice(dir.Path().string()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, LastError());
}

TEST(PosixOpen, NodeWithoutPermissionIsAccessDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "root opens a tty whatever its mode says";
    TPtyPair pty;
    ASSERT_EQ(0, ::chmod(pty.SlavePath().c_str(), 0));
    EXPECT_EQ(nullptr, OpenPosixCommDevice(pty.SlavePath()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, LastError());
}

TEST(PosixOpen, SecondOpenIsBusyUntilTheFirstCloses) {
    TPtyPair pty;
    TTempDir dir;
    const auto link = dir.Path() / "ttyLink";
    std::filesystem::create_symlink(pty.SlavePath(), link);

    auto first = OpenPosixCommDevice(pty.SlavePath());
    ASSERT_NE(nullptr, first) << "error " << LastError();
    EXPECT_EQ(nullptr, OpenPosixCommDevice(pty.SlavePath()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, LastError());
    EXPECT_EQ(nullptr, OpenPosixCommDevice(link.string()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, LastError());

    first.reset();
    auto again = OpenPosixCommDevice(link.string());
    EXPECT_NE(nullptr, again) << "error " << LastError();
}

TEST(PosixOpen, NodeLockedByAnotherProcessIsBusy) {
    TPtyPair pty;
    {
        const THeldTty locked(pty.SlavePath(), THeldTty::TClaim::Flock);
        EXPECT_EQ(nullptr, OpenPosixCommDevice(pty.SlavePath()));
        EXPECT_EQ(ERROR_ACCESS_DENIED, LastError());
    }
    EXPECT_NE(nullptr, OpenPosixCommDevice(pty.SlavePath())) << "error " << LastError();
}

TEST(PosixOpen, LockFileIsOursWhileOpenAndAStaleOneIsTakenOver) {
    TPtyPair pty;
    const auto lockFile = LockFileOf(pty.SlavePath());
    const auto contents = [&] {
        std::ifstream file(lockFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10d\n", static_cast<int>(::getpid()));

    WriteLockFile(pty.SlavePath(), DeadPid());
    {
        auto device = OpenPosixCommDevice(pty.SlavePath());
        ASSERT_NE(nullptr, device) << "error " << LastError();
        EXPECT_EQ(contents(), ours);
    }
    EXPECT_FALSE(std::filesystem::exists(lockFile));

    WriteLockFile(pty.SlavePath(), ::getppid());
    EXPECT_EQ(nullptr, OpenPosixCommDevice(pty.SlavePath()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, LastError());
    EXPECT_NE(contents(), ours) << "another process's lock file is not ours to take";
    std::filesystem::remove(lockFile);

    // A lost device lets go of its claims before anyone closes it.
    auto device = OpenPosixCommDevice(pty.SlavePath());
    ASSERT_NE(nullptr, device) << "error " << LastError();
    EXPECT_EQ(contents(), ours);
    pty.CloseMaster();
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(lockFile); })) << "the lock file outlived the line";
}

// ---- settings ----

TEST(PosixSettings, OpenReportsTheLineAsFoundAndMakesItRaw) {
    TPtyPair pty;
    termios2 found = LineOf(pty);
    found.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    found.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CSTOPB | CRTSCTS;
    found.c_ispeed = found.c_ospeed = 4800;
    found.c_iflag |= INPCK | IXON | IXOFF | ICRNL;
    found.c_oflag |= OPOST | ONLCR;
    found.c_lflag |= ICANON | ECHO | ISIG;
    found.c_cc[VSTART] = 'Q';
    found.c_cc[VSTOP] = 'S';
    ASSERT_EQ(0, ::ioctl(pty.MasterFd(), TCSETS2, &found));

    auto device = OpenPosixCommDevice(pty.SlavePath());
    ASSERT_NE(nullptr, device) << "error " << LastError();
    DCB dcb{};
    ASSERT_TRUE(device->GetCommState(dcb));
    EXPECT_EQ(sizeof(DCB), dcb.DCBlength);
    EXPECT_EQ(4800u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);  // a pty is always CS8 without parity
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(TWOSTOPBITS, dcb.StopBits);
    EXPECT_EQ(DCB_FBINARY | DCB_FPARITY | DCB_FOUTX | DCB_FINX | DCB_FOUTXCTSFLOW | RtsHandshake | DtrOn,
              DcbFlags(dcb));
    EXPECT_EQ('Q', dcb.XonChar);
    EXPECT_EQ('S', dcb.XoffChar);

    const termios2 raw = LineOf(pty);
    EXPECT_EQ(0u, raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_EQ(0u, raw.c_oflag & OPOST);
    EXPECT_EQ(0u, raw.c_iflag & ICRNL);
    EXPECT_EQ(INPCK | IXON | IXOFF, raw.c_iflag & (INPCK | IXON | IXOFF));
    EXPECT_EQ(CSTOPB | CRTSCTS, raw.c_cflag & (CSTOPB | CRTSCTS));
    EXPECT_EQ(4800u, raw.c_ospeed);
}

struct TSettingsCase {
    const char* Name;
    DWORD Baud;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    DWORD Flags;
    tcflag_t ControlBits;  // among PARODD, CMSPAR, CSTOPB, CRTSCTS
    tcflag_t InputBits;    // among INPCK, IXON, IXOFF
};

TEST(PosixSettings, EverySpeedFramingAndFlowReachesTheLine) {
    const TSettingsCase cases[] = {
        {"56000 7E2 checked", 56000, 7, EVENPARITY, TWOSTOPBITS, DCB_FPARITY | DtrOn | RtsOn, CSTOPB, INPCK},
        {"128000 8O1", 128000, 8, ODDPARITY, ONESTOPBIT, DtrOn | RtsOn, PARODD, 0},
        {"256000 8M1", 256000, 8, MARKPARITY, ONESTOPBIT, DtrOn | RtsOn, PARODD | CMSPAR, 0},
        {"12345 7S1", 12345, 7, SPACEPARITY, ONESTOPBIT, DtrOn | RtsOn, CMSPAR, 0},
        {"9600 5N1.5", 9600, 5, NOPARITY, ONE5STOPBITS, DtrOn | RtsOn, CSTOPB, 0},
        {"115200 RTS/CTS", 115200, 8, NOPARITY, ONESTOPBIT, DCB_FOUTXCTSFLOW | RtsHandshake | DtrOn, CRTSCTS, 0},
        {"CTS flow alone", 19200, 8, NOPARITY, ONESTOPBIT, DCB_FOUTXCTSFLOW | RtsOn | DtrOn, CRTSCTS, 0},
        {"XON/XOFF", 38400, 8, NOPARITY, ONESTOPBIT, DCB_FOUTX | DCB_FINX | DtrOn | RtsOn, 0, IXON | IXOFF},
        {"300 lines off", 300, 6, NOPARITY, TWOSTOPBITS, 0, CSTOPB, 0},
    };
    TPtyPair pty;
    auto device = OpenPosixCommDevice(pty.SlavePath());
    ASSERT_NE(nullptr, device) << "error " << LastError();
    for (const TSettingsCase& test : cases) {
        SCOPED_TRACE(test.Name);
        DCB dcb = EngineDcb(test.Baud);
        dcb.ByteSize = test.ByteSize;
        dcb.Parity = test.Parity;
        dcb.StopBits = test.StopBits;
        SetDcbFlags(dcb, DCB_FBINARY | test.Flags);
        dcb.XonChar = 'n';
        dcb.XoffChar = 'f';
        ASSERT_TRUE(device->SetCommState(dcb)) << "error " << LastError();

        const termios2 line = LineOf(pty);
        EXPECT_EQ(static_cast<tcflag_t>(BOTHER), line.c_cflag & CBAUD);
        EXPECT_EQ(test.Baud, line.c_ospeed);
        EXPECT_EQ(test.Baud, line.c_ispeed);
        EXPECT_EQ(test.ControlBits, line.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS));
        EXPECT_EQ(test.InputBits, line.c_iflag & (INPCK | IXON | IXOFF));
        EXPECT_EQ('n', line.c_cc[VSTART]);
        EXPECT_EQ('f', line.c_cc[VSTOP]);
        EXPECT_EQ(static_cast<tcflag_t>(CREAD | CLOCAL), line.c_cflag & (CREAD | CLOCAL));

        DCB reported{};
        ASSERT_TRUE(device->GetCommState(reported));
        EXPECT_EQ(0, std::memcmp(&dcb, &reported, sizeof(DCB)));
    }
}

TEST(PosixSettings, WhatTermiosCannotDoIsRefusedAndLeavesTheLineAlone) {
    struct TRefusal {
        const char* Name;
        DWORD Flags;
        BYTE ByteSize;
        DWORD Error;
    };
    const TRefusal refusals[] = {
        {"4 data bits", DtrOn | RtsOn, 4, ERROR_NOT_SUPPORTED},
        {"DTR handshake", DtrHandshake | RtsOn, 8, ERROR_NOT_SUPPORTED},
        {"DSR flow", DCB_FOUTXDSRFLOW | DtrOn | RtsOn, 8, ERROR_NOT_SUPPORTED},
        {"RTS toggle", DtrOn | RtsToggle, 8, ERROR_NOT_SUPPORTED},
        {"DSR sensitivity", DCB_FDSRSENSITIVITY | DtrOn | RtsOn, 8, ERROR_NOT_SUPPORTED},
        {"error character", DCB_FERRORCHAR | DtrOn | RtsOn, 8, ERROR_NOT_SUPPORTED},
        {"abort on error", DCB_FABORTONERROR | DtrOn | RtsOn, 8, ERROR_NOT_SUPPORTED},
    };
    TPtyPair pty;
    auto device = OpenPosixCommDevice(pty.SlavePath());
    ASSERT_NE(nullptr, device) << "error " << LastError();
    const DCB before = EngineDcb(57600);
    ASSERT_TRUE(device->SetCommState(before)) << "error " << LastError();

    for (const TRefusal& refusal : refusals) {
        SCOPED_TRACE(refusal.Name);
        DCB dcb = EngineDcb(230400);
        dcb.ByteSize = refusal.ByteSize;
        SetDcbFlags(dcb, DCB_FBINARY | refusal.Flags);
        EXPECT_FALSE(device->SetCommState(dcb));
        EXPECT_EQ(refusal.Error, LastError());
        DCB reported{};
        ASSERT_TRUE(device->GetCommState(reported));
        EXPECT_EQ(0, std::memcmp(&before, &reported, sizeof(DCB)));
        EXPECT_EQ(57600u, LineOf(pty).c_ospeed);
    }

    DCB sameChars = EngineDcb(230400);
    SetDcbFlags(sameChars, DCB_FBINARY | DCB_FOUTX | DtrOn | RtsOn);
    sameChars.XoffChar = sameChars.XonChar;
    EXPECT_FALSE(device->SetCommState(sameChars));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, LastError());
}

// ---- data ----

class PosixLine : public testing::Test {
protected:
    void SetUp() override {
        device_ = OpenPosixCommDevice(pty_.SlavePath());
        ASSERT_NE(nullptr, device_) << "error " << LastError();
        ASSERT_TRUE(ApplyEngineSettings(*device_, EngineDcb(115200)));
    }

    TPtyPair pty_;
    std::unique_ptr<TCommDevice> device_;
};

TEST_F(PosixLine, BytesFromTheFarEndArriveWithRxCharUntranslated) {
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding());
    // Every byte value: CR, ^C, ^S and friends must pass as they are.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<BYTE>(i);
    pty_.Write(all);
    ASSERT_TRUE(wait.Signalled());
    EXPECT_TRUE(wait.Result());
    EXPECT_TRUE(wait.Mask() & EV_RXCHAR);
    EXPECT_TRUE(SameBytes(all, ReadFromDevice(*device_, all.size())));
}

TEST_F(PosixLine, MegabyteWriteReachesTheFarEndInOrder) {
    TOverlappedWrite write(*device_, PatternBytes(1u << 20, 7));
    EXPECT_FALSE(write.Start());
    ASSERT_EQ(ERROR_IO_PENDING, LastError());
    const Bytes received = pty_.Read(write.Data().size(), LongLimit);
    EXPECT_TRUE(SameBytes(write.Data(), received));
    ASSERT_TRUE(write.Finish());
    EXPECT_EQ(write.Data().size(), write.Transferred());
}

TEST_F(PosixLine, NullStrippingDropsNulBytesOnly) {
    DCB dcb = EngineDcb(115200);
    SetDcbFlags(dcb, DcbFlags(dcb) | DCB_FNULL);
    ASSERT_TRUE(device_->SetCommState(dcb)) << "error " << LastError();
    pty_.Write(Bytes{0, 'a', 0, 0, 'b', 1, 0});
    EXPECT_TRUE(SameBytes(Bytes{'a', 'b', 1}, ReadFromDevice(*device_, 3)));

    SetDcbFlags(dcb, DcbFlags(dcb) & ~DCB_FNULL);
    ASSERT_TRUE(device_->SetCommState(dcb)) << "error " << LastError();
    pty_.Write(Bytes{'c', 0, 'd'});
    EXPECT_TRUE(SameBytes(Bytes{'c', 0, 'd'}, ReadFromDevice(*device_, 3)));
}

TEST_F(PosixLine, PtyHasNoModemLinesAndTakesEveryEscape) {
    DWORD status = 0xFFFF;
    ASSERT_TRUE(device_->GetCommModemStatus(status));
    EXPECT_EQ(0u, status);
    for (const DWORD function : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK, SETXOFF, SETXON})
        EXPECT_TRUE(device_->EscapeCommFunction(function)) << "function " << function << ", error " << LastError();

    // Output held by SETXOFF goes out after SETXON.
    ASSERT_TRUE(device_->EscapeCommFunction(SETXOFF));
    TOverlappedWrite write(*device_, BytesOf("held"));
    write.Start();
    ASSERT_TRUE(device_->EscapeCommFunction(SETXON));
    EXPECT_TRUE(SameBytes(write.Data(), pty_.Read(write.Data().size())));
    EXPECT_TRUE(write.Finish());
}

// An idle device costs well under a millisecond a second; a thread spinning
// on a busy machine (two cores, shared) was measured at 0.38 s. The bound is
// to catch a spin, not to time anything.
constexpr double SpinCpuSeconds = 0.1;

// Port 1 trickles, so it holds its bytes back until a frame tick; each
// reply on port 2 comes while it does. Port 2's read makes port 1 hand over
// first, so every byte's time keeps the order in which the bytes came.
TEST_F(PosixLine, ATrickleHeldBackIsHandedOverBeforeTheOtherPortsBytes) {
    TPtyPair otherPty;
    const std::unique_ptr<TCommDevice> other = OpenPosixCommDevice(otherPty.SlavePath());
    ASSERT_NE(nullptr, other) << "error " << LastError();
    ASSERT_TRUE(ApplyEngineSettings(*other, EngineDcb(115200)));

    constexpr int Exchanges = 40;
    std::vector<afp::TArrivalTime> requestsWritten;
    std::vector<afp::TArrivalTime> repliesWritten;
    for (int i = 0; i < Exchanges; ++i) {
        requestsWritten.push_back(afp::ArrivalNow());
        pty_.Write(Bytes{static_cast<BYTE>(i)});
        std::this_thread::sleep_for(milliseconds(4 + i % 4));
        repliesWritten.push_back(afp::ArrivalNow());
        otherPty.Write(Bytes{static_cast<BYTE>(i)});
        ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*other).cbInQue == static_cast<DWORD>(i + 1); }))
            << "reply " << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == Exchanges; }));

    // The time of each byte, from the runs of a timed read.
    const auto timesOf = [](TCommDevice& device) {
        afp::TKernelEvent event(true);
        afp::TOverlapped record{&event};
        BYTE buffer[Exchanges] = {};
        DWORD read = 0;
        afp::TArrivalChunks chunks;
        std::vector<afp::TArrivalTime> times;
        if (!device.ReadFileTimed(buffer, Exchanges, read, record, chunks)) return times;
        for (const afp::TArrivalChunk& chunk : chunks) times.insert(times.end(), chunk.Count, chunk.Time);
        return times;
    };
    const std::vector<afp::TArrivalTime> requests = timesOf(*device_);
    const std::vector<afp::TArrivalTime> replies = timesOf(*other);
    ASSERT_EQ(requests.size(), std::size_t{Exchanges});
    ASSERT_EQ(replies.size(), std::size_t{Exchanges});
    for (std::size_t i = 0; i < Exchanges; ++i) {
        EXPECT_LE(requests[i], replies[i]) << "request " << i << " shown after its reply";
        if (i + 1 < Exchanges) {
            EXPECT_LE(replies[i], requests[i + 1]) << "reply " << i << " after the next request";
        }
    }
    // Whichever port held its bytes back (the one that trickled last) did so
    // in most exchanges, until a tick or the other port's byte: without
    // that this test would show nothing.
    int held = 0;
    for (std::size_t i = 0; i < Exchanges; ++i)
        held += requests[i] - requestsWritten[i] >= 1500 || replies[i] - repliesWritten[i] >= 1500 ? 1 : 0;
    EXPECT_GT(held, Exchanges / 2);
}

TEST_F(PosixLine, IdleLineCostsNoCpu) {
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding());
    EXPECT_LT(CpuSecondsOverOneSecond(), SpinCpuSeconds);
}

TEST_F(PosixLine, HangUpFailsOutstandingWorkKeepsQueuedBytesAndStopsPolling) {
    pty_.Write(std::string("abc"));
    ASSERT_TRUE(WaitUntil([&] { return QueueStatus(*device_).cbInQue == 3; }));
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding());
    TOverlappedWrite stuck(*device_, PatternBytes(StuckWriteSize, 3));
    EXPECT_FALSE(stuck.Start());
    ASSERT_EQ(ERROR_IO_PENDING, LastError());

    pty_.CloseMaster();
    ASSERT_TRUE(wait.Signalled());
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(ERROR_BAD_COMMAND, LastError());
    ASSERT_TRUE(stuck.Signalled());
    EXPECT_FALSE(stuck.Finish());
    EXPECT_EQ(ERROR_BAD_COMMAND, LastError());

    TOverlappedWrite late(*device_, BytesOf("late"));
    EXPECT_FALSE(late.Start());
    EXPECT_EQ(ERROR_BAD_COMMAND, LastError());
    DWORD status = 0;
    EXPECT_FALSE(device_->GetCommModemStatus(status));
    EXPECT_EQ(ERROR_BAD_COMMAND, LastError());
    EXPECT_FALSE(device_->SetCommState(EngineDcb(9600)));
    EXPECT_EQ(ERROR_BAD_COMMAND, LastError());

    afp::TKernelEvent readEvent(true);
    afp::TOverlapped readRecord{&readEvent};
    BYTE buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(device_->ReadFile(buffer, sizeof buffer, read, readRecord));
    EXPECT_TRUE(SameBytes(BytesOf("abc"), Bytes(buffer, buffer + read)));
    EXPECT_FALSE(device_->ReadFile(buffer, sizeof buffer, read, readRecord));
    EXPECT_EQ(ERROR_BAD_COMMAND, LastError());

    // A hung-up pty polls readable for ever; a thread still polling it spins.
    EXPECT_LT(CpuSecondsOverOneSecond(), SpinCpuSeconds);
}

TEST_F(PosixLine, DestroyingTheDeviceAbortsTheWaitAndTheWrite) {
    TCommWait wait(*device_);
    ASSERT_TRUE(wait.StartOutstanding());
    TOverlappedWrite stuck(*device_, PatternBytes(StuckWriteSize, 5));
    EXPECT_FALSE(stuck.Start());
    ASSERT_EQ(ERROR_IO_PENDING, LastError());

    device_.reset();
    wait.Detach();
    stuck.Detach();
    EXPECT_TRUE(wait.Event().IsSignalled());
    EXPECT_EQ(ERROR_OPERATION_ABORTED, wait.Overlapped().Status);
    EXPECT_TRUE(stuck.Event().IsSignalled());
    EXPECT_EQ(ERROR_OPERATION_ABORTED, stuck.Overlapped().Status);
    EXPECT_LT(stuck.Overlapped().Transferred, StuckWriteSize);
}

// ---- thread priorities ----

TEST(ThreadPriority, Win32StepsMapToNiceValues) {
    EXPECT_EQ(19, afp::NiceValueFor(THREAD_PRIORITY_IDLE));
    EXPECT_EQ(10, afp::NiceValueFor(THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(5, afp::NiceValueFor(THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(0, afp::NiceValueFor(THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(-5, afp::NiceValueFor(THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_EQ(-10, afp::NiceValueFor(THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(-20, afp::NiceValueFor(THREAD_PRIORITY_TIME_CRITICAL));
    // Off the scale: the nearest step.
    EXPECT_EQ(10, afp::NiceValueFor(-8));
    EXPECT_EQ(19, afp::NiceValueFor(-9));
    EXPECT_EQ(19, afp::NiceValueFor(-100));
    EXPECT_EQ(-10, afp::NiceValueFor(8));
    EXPECT_EQ(-20, afp::NiceValueFor(9));
    EXPECT_EQ(-20, afp::NiceValueFor(100));
}

TEST(ThreadPriority, AppliesToTheCallingThreadOnly) {
    // On a thread of its own, so the test runner keeps its priority.
    std::thread worker([] {
        const auto self = afp::CurrentThreadId();
        const auto niceOf = [](std::int64_t id) { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(id)); };
        const int before = niceOf(self);
        // Lowering is always allowed; from a nicer start it would be raising.
        const bool lowered = afp::SetThreadPriority(self, THREAD_PRIORITY_BELOW_NORMAL);
        if (before <= 5) {
            EXPECT_TRUE(lowered);
        }
        const int after = lowered ? 5 : before;
        EXPECT_EQ(after, niceOf(self));
        EXPECT_EQ(before, niceOf(::getpid())) << "the process's main thread must keep its priority";
        // Going back up needs the privilege to; either way the result tells the truth.
        const bool raised = afp::SetThreadPriority(self, THREAD_PRIORITY_HIGHEST);
        EXPECT_EQ(raised ? -10 : after, niceOf(self));
    });
    worker.join();
}

// ---- COM<n> names, resolved through the port map ----

class SettingsRestorer {
public:
    ~SettingsRestorer() { ResetSettings(); }
};

TEST(OpenCommDeviceByNumber, OpensMappedPortsAndRefusesOtherNames) {
    SettingsRestorer restorer;
    TPtyPair pty;
    const std::string virtualEnd = afp::virt::EndName("names" + std::to_string(getpid()), afp::virt::TEnd::A);
    const std::string missing = (ConfigHome() / "no-such-tty").string();
    WriteSettings("[Ports]\nScan=0\nDemoPair=0\nCOM5=" + pty.SlavePath() + "\nCOM6=" + virtualEnd +
                  "\nCOM8=" + missing + "\n");

    auto com5 = afp::OpenCommDevice("COM5");
    ASSERT_TRUE(com5) << "COM5: error " << LastError();
    // It is the pty: opening its slave directly is now refused as busy, and
    // bytes from the master arrive.
    EXPECT_EQ(afp::OpenPosixCommDevice(pty.SlavePath()), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(ApplyEngineSettings(*com5, EngineDcb(115200)));
    pty.Write("5");
    EXPECT_TRUE(SameBytes(BytesOf("5"), ReadFromDevice(*com5, 1)));

    auto com6 = afp::OpenCommDevice("COM6");
    ASSERT_TRUE(com6) << "COM6: error " << LastError();
    EXPECT_EQ(afp::OpenVirtualCommDevice(virtualEnd), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);

    // A relative name, even of a device that exists, is never opened.
    const std::string relative = std::filesystem::relative(pty.SlavePath()).string();
    for (const std::string name : {"COM7", "COM8", "COM0", "COMX", "COM-5", relative.c_str()}) {
        afp::SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(afp::OpenCommDevice(name), nullptr) << name;
        EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

// Each event is one line: a time stamp, the thread and the area.
TEST(OpenCommDeviceByNumber, TraceTellsTheDeviceTheSystemsErrorsAndRefusedSettingsOnlyWhenOn) {
    SettingsRestorer restorer;
    TPtyPair pty;
    TTempDir dir;  // a new name each run: the port map is traced when it changes
    const std::string slave = pty.SlavePath();
    const std::string missing = (dir.Path() / "ttyGone").string();
    WriteSettings("[Ports]\nScan=0\nDemoPair=0\nCOM5=" + slave + "\nCOM8=" + missing + "\n");
    DCB dsrFlow = EngineDcb(9600);
    SetDcbFlags(dsrFlow, DcbFlags(dsrFlow) | DCB_FOUTXDSRFLOW);
    const auto openAndSet = [&] {
        EXPECT_EQ(afp::OpenCommDevice("COM8"), nullptr);
        auto com5 = afp::OpenCommDevice("COM5");
        ASSERT_TRUE(com5) << "COM5: error " << LastError();
        EXPECT_FALSE(com5->SetCommState(dsrFlow));
    };
    EXPECT_EQ(StandardErrorOf(openAndSet), "");

    const TTraceAreas areas("serial, platform");
    const std::string trace = StandardErrorOf(openAndSet);
    using testing::HasSubstr;
    EXPECT_THAT(trace, HasSubstr("port map: COM8 is " + missing + ": named in [Ports]\n"));
    EXPECT_THAT(trace, HasSubstr("open " + missing +
                                 ": open() failed, errno 2 (No such file or directory) -> ERROR_FILE_NOT_FOUND (2)\n"));
    EXPECT_THAT(trace, HasSubstr("COM5 is " + slave + "\n"));
    EXPECT_THAT(trace, HasSubstr("open " + slave + ": done, a pty without modem lines"));
    EXPECT_THAT(trace, HasSubstr("settings of " + slave + ": asked 9600 8N1, flags 0x"));
    EXPECT_THAT(trace, HasSubstr("termios has no such setting -> ERROR_NOT_SUPPORTED (50)\n"));
    EXPECT_THAT(trace, HasSubstr("close " + slave + "\n"));
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_search(line, std::regex(R"(^\[ *\d+\.\d{6}\] t\d+ platform: )"))) << line;

    // The hang-up is seen, and traced, by the line's own thread.
    const std::string loss = StandardErrorOf([&] {
        auto com5 = afp::OpenCommDevice("COM5");
        ASSERT_TRUE(com5) << "COM5: error " << LastError();
        pty.CloseMaster();
        EXPECT_TRUE(WaitUntil([&] { return !com5->EscapeCommFunction(SETDTR) && LastError() == ERROR_BAD_COMMAND; }));
    });
    std::smatch opener, loser;
    ASSERT_TRUE(std::regex_search(loss, opener, std::regex(R"(\] (t\d+) platform: open .*: done)"))) << loss;
    ASSERT_TRUE(std::regex_search(loss, loser, std::regex(R"(\] (t\d+) platform: lost )" + slave + ": "))) << loss;
    EXPECT_NE(opener[1], loser[1]) << loss;
}

}  // namespace
}  // namespace kalvaro::test
