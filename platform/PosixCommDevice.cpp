// The POSIX termios backend: a tty device node (a UART, a USB serial adapter,
// a pty slave) driven with the Win32 semantics of TCommDriver.
//
// Opening. The node is opened non-blocking, checked to be a terminal, and
// claimed the three ways Linux serial programs respect: flock(LOCK_EX)
// refuses a second open by any program that locks too, even for root;
// TIOCEXCL refuses any other non-root open (root bypasses it); a UUCP lock
// file (UucpLock.h) tells minicom and its kind, and a stale one is taken
// over. Errors: no such node → ERROR_FILE_NOT_FOUND; busy (held by a lock
// of any of the three kinds), not permitted, a directory or a node that is
// not a terminal → ERROR_ACCESS_DENIED; anything else → ERROR_GEN_FAILURE.
// The line goes into raw mode at once, keeping its framing and flow control;
// GetCommState reports the settings found there until SetCommState replaces
// them. The claims end when the device is destroyed, and already when it is
// lost, so that an adapter plugged in again is free for whoever wants it.
//
// Probing (ProbePosixCommDevice) must not disturb a program that holds the
// device: it opens the node without a claim, changes no setting and no
// modem line, reads whether someone holds it (TIOCGEXCL, which root's opens
// do not bypass; a shared flock, which an exclusive one elsewhere refuses;
// a live lock file) and closes it again.
//
// Raw mode uses VMIN=1 with O_NONBLOCK rather than VMIN=0: with VMIN=0 a read
// of an empty line returns 0, which is indistinguishable from a hung-up
// line. With VMIN=1 an empty line gives EAGAIN and 0 means hang-up.
//
// DCB ↔ termios (one translation each way, TermiosFromDcb / DcbFromTermios):
//   BaudRate        any value, through termios2/BOTHER (PosixTermios2.c)
//   ByteSize        5..8 → CS5..CS8; 4 is refused (ERROR_NOT_SUPPORTED)
//   Parity          none, odd, even, mark, space (PARENB, PARODD, CMSPAR)
//   StopBits        1 → -, 2 → CSTOPB; 1.5 (only with 5 data bits) → CSTOPB,
//                   which UARTs send as 1.5 stop bits at 5 data bits
//   fParity         INPCK
//   fOutxCtsFlow or RTS_CONTROL_HANDSHAKE → CRTSCTS (the kernel couples both
//                   directions; neither can be had alone)
//   fOutX, fInX     IXON, IXOFF with VSTART = XonChar, VSTOP = XoffChar
//   DTR/RTS control DISABLE/ENABLE drop or raise the line (TIOCMBIC/TIOCMBIS)
//   fNull           done here: NUL bytes are dropped before the input queue
//   fBinary, fTXContinueOnXoff, XonLim, XoffLim, ErrorChar, EofChar, EvtChar:
//                   accepted without effect (the kernel has fixed thresholds)
// Refused with ERROR_NOT_SUPPORTED, since termios has no such thing:
// fOutxDsrFlow, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, fDsrSensitivity,
// fErrorChar, fAbortOnError. Equal XonChar and XoffChar with XON/XOFF flow
// are ERROR_INVALID_PARAMETER, as on Win32.
// Settings go to the driver in one TCSETS2 (PosixTermios2.h) and are read
// back; a driver that did not take what it honours (a speed it clamps, a
// framing it rewrites) gets its previous settings back and SetCommState fails
// with ERROR_NOT_SUPPORTED. A pty carries bytes, not frames: the kernel holds
// it at CS8 without PARENB whatever is asked (and keeps everything else:
// PARODD, CMSPAR, CSTOPB, CRTSCTS, the input flags, any speed), so a framing
// it cannot represent is taken without complaint and those two are not
// compared.
//
// The I/O thread, one per open device, is the only reader and writer of the
// tty. It poll()s the tty (POLLIN only while the input queue has room,
// POLLOUT only while a write is pending) and an eventfd through which the
// driver wakes it. Hang-up — POLLHUP/POLLERR/POLLNVAL, a read of 0, or a read
// or write error other than EAGAIN/EINTR — marks the device lost, after
// which the thread waits on the eventfd alone until the device is destroyed.
//
// Modem lines and line errors: if TIOCMGET works at open, the thread polls
// TIOCMGET and TIOCGICOUNT every 20 ms. TIOCMIWAIT would report changes
// without polling, but it blocks inside an ioctl that poll() cannot watch:
// waking it for a close takes a signal aimed at the thread, and a signal that
// comes just before the ioctl starts is lost, so a close could hang until a
// line happens to move (and many USB adapters do not implement it at all).
// Devices without modem lines (ptys) report every line off, take the DTR/RTS
// escapes without effect, and their thread sleeps without a time-out: an
// idle pty costs no CPU.
//
// The trace (Trace.h, area "platform") gets every open, probe and close with
// the path, the step that failed and its errno, every setting the driver
// refused with what was asked and what it read back, and every loss with
// its cause. errno is taken before tracing, which may change it.

#include "platform/CommBackends.h"
#include "platform/CommDriver.h"
#include "platform/FrameTicks.h"
#include "platform/PosixTermios2.h"
#include "platform/Trace.h"
#include "platform/UucpLock.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace afp {

namespace {

using TClock = std::chrono::steady_clock;
constexpr auto ModemPollInterval = std::chrono::milliseconds(20);

// A line that trickles (a few bytes at a time, hundreds of times a second)
// would otherwise cost a wake-up and a read per piece in this thread, the
// event thread and the application. The first bytes after a quiet spell are
// read at once, and so are pieces that come a frame or more apart. Once they
// come closer, the device holds what arrives back until the next frame tick
// (FrameTicks.h) and takes it in one read, if it is the gatherer
// (CommDriver.h: one device at a time, so that another device's read can
// make it hand over first and both ports' bytes keep their order); otherwise
// each read waits ReadGap after the last. A read of at least FloodRead bytes
// (half the kernel's line buffer) means the line runs at full speed: the
// device stops gathering and reads again at once.
constexpr auto ReadGap = std::chrono::microseconds(1000);
constexpr std::size_t FloodRead = 2048;
// Unix98 pty slaves: majors 136 to 143.
constexpr unsigned PtySlaveFirstMajor = 136;
constexpr unsigned PtySlaveLastMajor = 143;
// A driver may report the speed its divisor really gives; accept that much.
constexpr unsigned SpeedTolerancePercent = 2;

// An owned file descriptor.
class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : fd_(fd) {}
    ~TUniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    TUniqueFd(TUniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The claimed tty: TIOCEXCL outlives the descriptor on a pty slave (its tty
// stays while the master is open), so it is given up before closing.
class TClaimedTty {
public:
    TClaimedTty() = default;
    explicit TClaimedTty(TUniqueFd fd) : fd_(std::move(fd)) {}
    ~TClaimedTty() { Unclaim(); }
    TClaimedTty(TClaimedTty&&) noexcept = default;
    TClaimedTty& operator=(TClaimedTty&&) noexcept = default;
    int Get() const { return fd_.Get(); }
    // Gives up both claims and keeps the descriptor; from any thread.
    void Unclaim() const {
        if (!fd_.Valid()) return;
        ::ioctl(fd_.Get(), TIOCNXCL);
        ::flock(fd_.Get(), LOCK_UN);
    }

private:
    TUniqueFd fd_;
};

DWORD OpenErrorFor(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case ELOOP:
        case ENAMETOOLONG: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
        case EISDIR:
        case EROFS:
        case ENOTTY: return ERROR_ACCESS_DENIED;
        default: return ERROR_GEN_FAILURE;
    }
}

// Traces why an open failed; returns result.
DWORD OpenRefused(const std::string& path, const char* step, int error, DWORD result) {
    Trace(TTraceArea::Platform, "open ", path, ": ", step, " failed, ", TErrno{error}, " -> ", TWin32Error{result});
    return result;
}

DWORD OpenFailed(const std::string& path, const char* step, int error) {
    return OpenRefused(path, step, error, OpenErrorFor(error));
}

bool IsLossError(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// For an ioctl that failed on an open line.
DWORD LineErrorFor(int error) {
    if (IsLossError(error)) return ERROR_BAD_COMMAND;
    if (error == EINVAL) return ERROR_NOT_SUPPORTED;
    return ERROR_GEN_FAILURE;
}

using TLineSettings = afp_line_settings;
static_assert(VTIME < AFP_LINE_NCCS && VMIN < AFP_LINE_NCCS && VSTART < AFP_LINE_NCCS && VSTOP < AFP_LINE_NCCS);

// Line discipline processing off; framing and flow control stay as found.
void MakeRaw(TLineSettings& settings) {
    settings.iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                             IUCLC | IXANY | IMAXBEL);
    settings.oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON |
                                             ISIG | IEXTEN | TOSTOP | XCASE);
    settings.cflag |= CREAD | CLOCAL;
    settings.cc[VMIN] = 1;
    settings.cc[VTIME] = 0;
}

// The fields SetCommState decides, and of those the ones a pty does not keep.
constexpr tcflag_t DecidedControl = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t DecidedInput = INPCK | IXON | IXOFF;
constexpr tcflag_t NotKeptByPty = CSIZE | PARENB;

// Whether the driver took what it honours of wanted.
bool TookSettings(const TLineSettings& wanted, const TLineSettings& now, bool isPty) {
    const tcflag_t control = DecidedControl & ~(isPty ? NotKeptByPty : 0);
    const unsigned long speedError =
        static_cast<unsigned long>(std::labs(static_cast<long>(now.ospeed) - static_cast<long>(wanted.ospeed)));
    return (now.cflag & control) == (wanted.cflag & control) &&
           (now.iflag & DecidedInput) == (wanted.iflag & DecidedInput) && now.cc[VSTART] == wanted.cc[VSTART] &&
           now.cc[VSTOP] == wanted.cc[VSTOP] &&
           speedError * 100 <= static_cast<unsigned long>(wanted.ospeed) * SpeedTolerancePercent;
}

// A line's settings in a trace line.
struct TLineText {
    const TLineSettings& Settings;
};

void TraceAppend(std::string& line, TLineText text) {
    const TLineSettings& settings = text.Settings;
    line += TraceText("speed ", settings.ospeed, ", cflag ", THex{settings.cflag}, ", iflag ", THex{settings.iflag},
                      ", VSTART ", THex{settings.cc[VSTART]}, " VSTOP ", THex{settings.cc[VSTOP]});
}

constexpr DWORD RefusedFlags = DCB_FOUTXDSRFLOW | DCB_FDSRSENSITIVITY | DCB_FERRORCHAR | DCB_FABORTONERROR;

// Fills in the fields of settings that dcb decides; the rest stay.
DWORD TermiosFromDcb(const DCB& dcb, TLineSettings& settings) {
    const DWORD flags = DcbFlags(dcb);
    if ((flags & RefusedFlags) || DcbDtrControl(dcb) == DTR_CONTROL_HANDSHAKE ||
        DcbRtsControl(dcb) == RTS_CONTROL_TOGGLE)
        return ERROR_NOT_SUPPORTED;
    if ((flags & (DCB_FOUTX | DCB_FINX)) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;

    tcflag_t size = 0;
    switch (dcb.ByteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return ERROR_NOT_SUPPORTED;
    }
    tcflag_t parity = 0;
    switch (dcb.Parity) {
        case NOPARITY: break;
        case ODDPARITY: parity = PARENB | PARODD; break;
        case EVENPARITY: parity = PARENB; break;
        case MARKPARITY: parity = PARENB | CMSPAR | PARODD; break;
        case SPACEPARITY: parity = PARENB | CMSPAR; break;
        default: return ERROR_INVALID_PARAMETER;
    }
    const bool ctsRts = (flags & DCB_FOUTXCTSFLOW) || DcbRtsControl(dcb) == RTS_CONTROL_HANDSHAKE;

    settings.cflag &= ~DecidedControl;
    settings.cflag |= size | parity | (dcb.StopBits != ONESTOPBIT ? CSTOPB : 0) | (ctsRts ? CRTSCTS : 0);
    settings.cflag |= CREAD | CLOCAL;
    settings.iflag &= ~DecidedInput;
    settings.iflag |=
        ((flags & DCB_FPARITY) ? INPCK : 0) | ((flags & DCB_FOUTX) ? IXON : 0) | ((flags & DCB_FINX) ? IXOFF : 0);
    settings.cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    settings.cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    settings.ispeed = dcb.BaudRate;
    settings.ospeed = dcb.BaudRate;
    return ERROR_SUCCESS;
}

// lines: the TIOCM_ bits, or -1 for a device without modem lines.
DCB DcbFromTermios(const TLineSettings& settings, int lines) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.ospeed;
    switch (settings.cflag & CSIZE) {
        case CS5: dcb.ByteSize = 5; break;
        case CS6: dcb.ByteSize = 6; break;
        case CS7: dcb.ByteSize = 7; break;
        default: dcb.ByteSize = 8; break;
    }
    if (settings.cflag & PARENB) {
        const bool odd = settings.cflag & PARODD;
        if (settings.cflag & CMSPAR)
            dcb.Parity = odd ? MARKPARITY : SPACEPARITY;
        else
            dcb.Parity = odd ? ODDPARITY : EVENPARITY;
    }
    if (settings.cflag & CSTOPB) dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;

    DWORD flags = DCB_FBINARY;
    if (settings.iflag & INPCK) flags |= DCB_FPARITY;
    if (settings.iflag & IXON) flags |= DCB_FOUTX;
    if (settings.iflag & IXOFF) flags |= DCB_FINX;
    const bool dtrOn = lines < 0 || (lines & TIOCM_DTR);
    const bool rtsOn = lines < 0 || (lines & TIOCM_RTS);
    flags |= (dtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE) << DCB_FDTRCONTROL_SHIFT;
    if (settings.cflag & CRTSCTS)
        flags |= DCB_FOUTXCTSFLOW | (RTS_CONTROL_HANDSHAKE << DCB_FRTSCONTROL_SHIFT);
    else
        flags |= (rtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE) << DCB_FRTSCONTROL_SHIFT;
    SetDcbFlags(dcb, flags);
    dcb.XonChar = static_cast<char>(settings.cc[VSTART]);
    dcb.XoffChar = static_cast<char>(settings.cc[VSTOP]);
    return dcb;
}

DWORD ModemStatusFrom(int lines) {
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    if (lines & TIOCM_CD) status |= MS_RLSD_ON;
    return status;
}

// What the open found out about the line, handed to the device.
struct TOpenedLine {
    std::string Path;
    TClaimedTty Tty;
    TLockFile Lock;
    TUniqueFd Wake;
    DCB State{};
    bool IsPty = false;
    bool ModemLines = false;  // TIOCMGET works
    DWORD ModemStatus = 0;
    bool Counters = false;  // TIOCGICOUNT works
    serial_icounter_struct Counts{};
};

// Owns the claimed tty, its eventfd and the I/O thread. The Line* hooks run on
// the callers' threads; everything else below runs on the I/O thread.
class TPosixCommDevice final : public TCommDriver {
public:
    explicit TPosixCommDevice(TOpenedLine line);
    ~TPosixCommDevice() override;

protected:
    DWORD LineApplyState(const DCB& dcb) override;
    DWORD LineEscape(DWORD function) override;
    void LineFlush(DWORD purgeFlags) override;
    void LineWake() override;
    void LineHandOverGathered() override;

private:
    void Run();
    // Each returns false once the line is lost.
    // taken: the bytes the read brought.
    bool ReadInput(std::size_t& taken);
    // One read into the input queue, under readLock_: what read() returned,
    // and its errno when that was negative (EAGAIN when the queue is full).
    ssize_t ReadLocked(int& error);
    bool WriteOutput();
    bool PollModem();
    // MarkLost, and the claims go with the device. error: the errno that
    // told, or 0.
    void Lose(const char* cause, int error = 0);
    void DrainWake();
    DWORD SetLine(int bit, bool on);

    const std::string path_;
    const TClaimedTty tty_;
    TLockFile lockFile_;  // I/O thread only after start; gone before the tty's claims
    const TUniqueFd wake_;
    const bool isPty_;
    const bool modemLines_;
    bool counters_;                  // I/O thread only after start
    serial_icounter_struct counts_;  // I/O thread only after start
    bool ringSeen_ = false;          // I/O thread only
    // One read of the tty at a time: the I/O thread's own, or one that
    // another device's thread asks for (LineHandOverGathered).
    std::mutex readLock_;
    std::vector<BYTE> readBuffer_;  // under readLock_
    std::atomic<bool> stripNull_{false};
    std::atomic<bool> stopping_{false};
    std::mutex settingsLock_;  // one SetCommState at a time
    std::thread thread_;       // last: starts once the rest exists
};

TPosixCommDevice::TPosixCommDevice(TOpenedLine line)
    : TCommDriver(line.State, line.ModemStatus),
      path_(std::move(line.Path)),
      tty_(std::move(line.Tty)),
      lockFile_(std::move(line.Lock)),
      wake_(std::move(line.Wake)),
      isPty_(line.IsPty),
      modemLines_(line.ModemLines),
      counters_(line.Counters),
      counts_(line.Counts),
      readBuffer_(std::size_t{64} * 1024),
      thread_(&TPosixCommDevice::Run, this) {}

TPosixCommDevice::~TPosixCommDevice() {
    ShutdownDriver();
    stopping_.store(true);
    LineWake();
    thread_.join();
    Trace(TTraceArea::Platform, "close ", path_);
}

void TPosixCommDevice::LineWake() {
    const std::uint64_t one = 1;
    // Fails only when the counter is already huge, and then a wake is due anyway.
    [[maybe_unused]] const ssize_t ignored = ::write(wake_.Get(), &one, sizeof one);
}

void TPosixCommDevice::DrainWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(wake_.Get(), &count, sizeof count);
}

void TPosixCommDevice::Run() {
    bool watching = true;           // the tty is still polled; false once lost
    bool gathering = false;         // this device is the gatherer
    TClock::time_point lastRead{};  // of this device's own last read
    auto nextModemPoll = TClock::now();
    auto nextRead = TClock::now();
    enum { WakeFd, TtyFd };  // the poll set's order
    while (!stopping_.load()) {
        pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {tty_.Get(), 0, 0}};
        nfds_t count = 1;
        std::optional<TClock::time_point> deadline;
        // At a tick the gatherer reads what came, and gives its place up
        // when nothing did.
        bool tickRead = false;
        if (watching) {
            if (InputRoom() > 0) {
                if (TClock::now() >= nextRead) {
                    fds[TtyFd].events |= POLLIN;
                    tickRead = gathering;
                } else {
                    deadline = nextRead;
                }
            }
            if (OutputPending()) fds[TtyFd].events |= POLLOUT;
            count = 2;
            if (modemLines_ && (!deadline || nextModemPoll < *deadline)) deadline = nextModemPoll;
            if (tickRead) deadline = TClock::now();
        }
        timespec timeout{};
        if (deadline) {
            const auto left = std::max(TClock::duration::zero(), *deadline - TClock::now());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            timeout.tv_sec = static_cast<time_t>(seconds.count());
            timeout.tv_nsec = static_cast<long>(std::chrono::nanoseconds(left - seconds).count());
        }
        if (::ppoll(fds, count, deadline ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            // Out of kernel memory: nothing to do but try again a little later.
            ::poll(nullptr, 0, 10);
            continue;
        }
        if (fds[WakeFd].revents & POLLIN) DrainWake();
        if (stopping_.load() || !watching) continue;

        const short events = fds[TtyFd].revents;
        if (tickRead && !(events & POLLIN)) {
            gathering = false;
            StopGathering();
        }
        if (events & POLLIN) {
            HandOverGatheredElsewhere();
            std::size_t taken = 0;
            watching = ReadInput(taken);
            const auto now = TClock::now();
            // Pieces a frame or more apart are read as they come: holding
            // them would only add a wake-up at a tick that finds nothing.
            const bool trickling = now - lastRead < FrameTick;
            lastRead = now;
            gathering = watching && taken < FloodRead && (gathering || (trickling && TryGather()));
            if (!gathering) StopGathering();
            nextRead = gathering ? NextFrameTick(now) : taken >= FloodRead ? now : now + ReadGap;
        }
        if (watching && (events & POLLOUT)) watching = WriteOutput();
        if (watching && (events & (POLLHUP | POLLERR | POLLNVAL))) {
            Lose(events & POLLNVAL                          ? "poll() reports POLLNVAL"
                 : (events & POLLHUP) && (events & POLLERR) ? "poll() reports POLLHUP|POLLERR"
                 : events & POLLHUP                         ? "poll() reports POLLHUP"
                                                            : "poll() reports POLLERR");
            watching = false;
        }
        if (!watching && gathering) {
            gathering = false;
            StopGathering();
        }
        if (watching && modemLines_ && TClock::now() >= nextModemPoll) {
            watching = PollModem();
            nextModemPoll = TClock::now() + ModemPollInterval;
        }
    }
}

bool TPosixCommDevice::ReadInput(std::size_t& taken) {
    int error = 0;
    const std::lock_guard guard(readLock_);
    const ssize_t got = ReadLocked(error);
    if (got < 0 && (error == EAGAIN || error == EINTR)) return true;
    if (got <= 0) {
        // 0: hung up (see VMIN above). Any other error would repeat at every
        // poll, so the line is of no more use either way.
        if (got == 0)
            Lose("read() gave 0 bytes (hang-up)");
        else
            Lose("read() failed", error);
        return false;
    }
    taken = static_cast<std::size_t>(got);
    return true;
}

ssize_t TPosixCommDevice::ReadLocked(int& error) {
    const std::size_t room = InputRoom();
    if (room == 0) {
        error = EAGAIN;
        return -1;
    }
    const ssize_t got = ::read(tty_.Get(), readBuffer_.data(), std::min(room, readBuffer_.size()));
    error = errno;
    if (got <= 0) return got;
    auto count = static_cast<std::size_t>(got);
    if (stripNull_.load()) {
        const auto end = std::remove(readBuffer_.begin(), readBuffer_.begin() + got, BYTE{0});
        count = static_cast<std::size_t>(end - readBuffer_.begin());
    }
    // The queue can shrink under us only through SetupComm; what no longer
    // fits is lost, and the application is told so.
    if (DeliverInput(readBuffer_.data(), count) < count) ReportLineErrors(CE_RXOVER);
    return got;
}

void TPosixCommDevice::LineHandOverGathered() {
    const std::lock_guard guard(readLock_);
    // A failed read is left to the I/O thread, whose own next read meets it.
    int error = 0;
    ReadLocked(error);
}

bool TPosixCommDevice::WriteOutput() {
    const BYTE* data = nullptr;
    std::size_t count = 0;
    while (BeginOutput(data, count)) {
        const ssize_t sent = ::write(tty_.Get(), data, count);
        if (sent < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EINTR) {
                EndOutput(0);
                return true;
            }
            // As with reads, a write error other than "full" does not go away.
            Lose("write() failed", error);
            EndOutput(0);
            return false;
        }
        EndOutput(static_cast<std::size_t>(sent));
        if (static_cast<std::size_t>(sent) < count) return true;
    }
    return true;
}

bool TPosixCommDevice::PollModem() {
    int lines = 0;
    if (::ioctl(tty_.Get(), TIOCMGET, &lines) != 0) {
        const int error = errno;
        if (!IsLossError(error)) return true;
        Lose("TIOCMGET failed", error);
        return false;
    }
    const DWORD status = ModemStatusFrom(lines);
    SetModemStatus(status);  // raises EV_RING itself when RING comes on
    if (status & MS_RING_ON) ringSeen_ = true;
    serial_icounter_struct now{};
    if (!counters_ || ::ioctl(tty_.Get(), TIOCGICOUNT, &now) != 0) return true;
    // A ring shorter than the poll interval shows only in the counter.
    if (now.rng != counts_.rng) {
        if (!ringSeen_) ReportRing();
        ringSeen_ = status & MS_RING_ON;
    }
    DWORD errors = 0;
    if (now.frame != counts_.frame) errors |= CE_FRAME;
    if (now.overrun != counts_.overrun) errors |= CE_OVERRUN;
    if (now.parity != counts_.parity) errors |= CE_RXPARITY;
    if (now.brk != counts_.brk) errors |= CE_BREAK;
    if (now.buf_overrun != counts_.buf_overrun) errors |= CE_RXOVER;
    counts_ = now;
    ReportLineErrors(errors);
    return true;
}

void TPosixCommDevice::Lose(const char* cause, int error) {
    if (error != 0)
        Trace(TTraceArea::Platform, "lost ", path_, ": ", cause, ", ", TErrno{error});
    else
        Trace(TTraceArea::Platform, "lost ", path_, ": ", cause);
    MarkLost();
    lockFile_.Release();
    tty_.Unclaim();
}

DWORD TPosixCommDevice::SetLine(int bit, bool on) {
    if (!modemLines_) return ERROR_SUCCESS;
    if (::ioctl(tty_.Get(), on ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
        const int error = errno;
        Trace(TTraceArea::Platform, "settings of ", path_, ": ", on ? "raising " : "dropping ",
              bit == TIOCM_DTR ? "DTR" : "RTS", " refused, ", TErrno{error});
        return LineErrorFor(error);
    }
    return ERROR_SUCCESS;
}

DWORD TPosixCommDevice::LineApplyState(const DCB& dcb) {
    std::lock_guard guard(settingsLock_);
    const int fd = tty_.Get();
    TLineSettings before{};
    if (afp_line_get(fd, &before) != 0) {
        const int error = errno;
        Trace(TTraceArea::Platform, "settings of ", path_, ": reading them failed, ", TErrno{error});
        return LineErrorFor(error);
    }
    TLineSettings wanted = before;
    if (const DWORD refused = TermiosFromDcb(dcb, wanted); refused != ERROR_SUCCESS) {
        Trace(TTraceArea::Platform, "settings of ", path_, ": asked ", dcb, ", termios has no such setting -> ",
              TWin32Error{refused});
        return refused;
    }

    TLineSettings now{};
    if (afp_line_set(fd, &wanted) != 0 || afp_line_get(fd, &now) != 0) {
        const int error = errno;
        Trace(TTraceArea::Platform, "settings of ", path_, ": asked ", dcb, " (", TLineText{wanted},
              "), the driver failed, ", TErrno{error});
        afp_line_set(fd, &before);
        return LineErrorFor(error);
    }
    if (!TookSettings(wanted, now, isPty_)) {
        Trace(TTraceArea::Platform, "settings of ", path_, ": asked ", dcb, " (", TLineText{wanted},
              "), the driver read back ", TLineText{now}, " -> ", TWin32Error{ERROR_NOT_SUPPORTED});
        afp_line_set(fd, &before);
        return ERROR_NOT_SUPPORTED;
    }

    if (const DWORD dtr = DcbDtrControl(dcb); dtr != DTR_CONTROL_HANDSHAKE)
        if (const DWORD error = SetLine(TIOCM_DTR, dtr == DTR_CONTROL_ENABLE); error != ERROR_SUCCESS) return error;
    // With CRTSCTS the kernel drives RTS itself.
    if (const DWORD rts = DcbRtsControl(dcb); !(wanted.cflag & CRTSCTS))
        if (const DWORD error = SetLine(TIOCM_RTS, rts == RTS_CONTROL_ENABLE); error != ERROR_SUCCESS) return error;
    stripNull_.store(DcbFlags(dcb) & DCB_FNULL);
    return ERROR_SUCCESS;
}

DWORD TPosixCommDevice::LineEscape(DWORD function) {
    const int fd = tty_.Get();
    int result = 0;
    switch (function) {
        case SETRTS: return SetLine(TIOCM_RTS, true);
        case CLRRTS: return SetLine(TIOCM_RTS, false);
        case SETDTR: return SetLine(TIOCM_DTR, true);
        case CLRDTR: return SetLine(TIOCM_DTR, false);
        case SETBREAK: result = ::ioctl(fd, TIOCSBRK); break;
        case CLRBREAK: result = ::ioctl(fd, TIOCCBRK); break;
        // On Linux tcflow is one TCXONC ioctl. The race glibc marks it for is
        // with a settings change on the same descriptor at the same moment;
        // the engine changes settings and sends escapes from one thread only.
        // NOLINTBEGIN(concurrency-mt-unsafe)
        case SETXOFF: result = ::tcflow(fd, TCOOFF); break;
        case SETXON: result = ::tcflow(fd, TCOON); break;
        // NOLINTEND(concurrency-mt-unsafe)
        default: return ERROR_INVALID_PARAMETER;
    }
    // A driver without break control (ENOTTY) has no line to hold low.
    if (const int error = errno; result != 0 && error != ENOTTY) {
        Trace(TTraceArea::Platform, "escape function ", function, " on ", path_, " refused, ", TErrno{error});
        return LineErrorFor(error);
    }
    return ERROR_SUCCESS;
}

void TPosixCommDevice::LineFlush(DWORD purgeFlags) {
    const bool output = purgeFlags & PURGE_TXCLEAR;
    const bool input = purgeFlags & PURGE_RXCLEAR;
    if (output || input) ::tcflush(tty_.Get(), output && input ? TCIOFLUSH : output ? TCOFLUSH : TCIFLUSH);
}

// Builds everything in locals; the device takes ownership only at the end.
DWORD OpenLine(const std::string& path, TOpenedLine& line) {
    TUniqueFd tty(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!tty.Valid()) return OpenFailed(path, "open()", errno);
    const int fd = tty.Get();
    TLineSettings settings{};
    if (afp_line_get(fd, &settings) != 0) {
        const int error = errno;
        return OpenRefused(path, "TCGETS2 (is it a terminal?)", error,
                           error == ENOTTY ? ERROR_ACCESS_DENIED : OpenErrorFor(error));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return OpenFailed(path, "flock() (held by another program?)", errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return OpenFailed(path, "TIOCEXCL", errno);
    TClaimedTty claimed(std::move(tty));
    if (!line.Lock.Take(path)) {
        Trace(TTraceArea::Platform, "open ", path, ": another program's lock file holds it -> ",
              TWin32Error{ERROR_ACCESS_DENIED});
        return ERROR_ACCESS_DENIED;
    }

    MakeRaw(settings);
    if (afp_line_set(fd, &settings) != 0 || afp_line_get(fd, &settings) != 0)
        return OpenFailed(path, "raw mode (TCSETS2)", errno);

    struct stat node {};
    if (::fstat(fd, &node) != 0) return OpenFailed(path, "fstat()", errno);
    const unsigned major = ::major(node.st_rdev);
    line.IsPty = major >= PtySlaveFirstMajor && major <= PtySlaveLastMajor;
    int lines = 0;
    line.ModemLines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    line.ModemStatus = line.ModemLines ? ModemStatusFrom(lines) : 0;
    line.Counters = line.ModemLines && ::ioctl(fd, TIOCGICOUNT, &line.Counts) == 0;
    line.State = DcbFromTermios(settings, line.ModemLines ? lines : -1);

    line.Wake = TUniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!line.Wake.Valid()) return OpenRefused(path, "eventfd()", errno, ERROR_GEN_FAILURE);
    line.Tty = std::move(claimed);
    line.Path = path;
    Trace(TTraceArea::Platform, "open ", path, ": done, ", line.IsPty ? "a pty" : "a tty",
          line.ModemLines ? " with modem lines" : " without modem lines", ", line found at ", line.State);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ProbePosixCommDevice(const std::string& path) {
    const auto answer = [&path](const char* finding, DWORD result, int error = 0) {
        if (error != 0)
            Trace(TTraceArea::Platform, "probe ", path, ": ", finding, ", ", TErrno{error}, " -> ",
                  TWin32Error{result});
        else
            Trace(TTraceArea::Platform, "probe ", path, ": ", finding, " -> ", TWin32Error{result});
        return result;
    };
    const TUniqueFd tty(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (const int error = errno; !tty.Valid()) return answer("open() failed", OpenErrorFor(error), error);
    const int fd = tty.Get();
    if (!::isatty(fd)) return answer("not a terminal", ERROR_ACCESS_DENIED);
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive)
        return answer("held exclusively (TIOCEXCL)", ERROR_ACCESS_DENIED);
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const int error = errno;
        return answer("flock() held by another program", OpenErrorFor(error), error);
    }
    if (LockFileHeld(path)) return answer("a live lock file names it", ERROR_ACCESS_DENIED);
    return answer("free", ERROR_SUCCESS);
}

std::unique_ptr<TCommDevice> OpenPosixCommDevice(const std::string& path) {
    TOpenedLine line;
    if (const DWORD error = OpenLine(path, line); error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    try {
        return std::make_unique<TPosixCommDevice>(std::move(line));
    } catch (const std::exception& error) {
        // No memory for the queue or no thread to run the line.
        Trace(TTraceArea::Platform, "open ", path, ": ", error.what(), " -> ", TWin32Error{ERROR_GEN_FAILURE});
        SetLastError(ERROR_GEN_FAILURE);
        return nullptr;
    }
}

}  // namespace afp
