// The network backend: a serial port that a server on another machine
// serves over TCP, driven with the Win32 semantics of TCommDriver.
//   rfc2217://host:port  Telnet with the Com Port Control Option (RFC 2217):
//                        line settings, modem lines, line errors, purges
//   tcp://host:port      raw bytes; line settings are accepted without
//                        effect and every modem line reads off
// A server that refuses COM-PORT-OPTION gives what tcp:// gives, with the
// Telnet framing kept (TelnetCodec.h), and the port map's description says so.
//
// Opening connects within ConnectLimit; a connection that cannot be made
// (refused, no answer, no such host) is ERROR_FILE_NOT_FOUND, as a local
// device that is not there. Then the negotiation runs on the opener's
// thread: the server must say whether it takes COM-PORT-OPTION and, if it
// does, answer the queries for the line's present settings (which
// GetCommState reports until SetCommState replaces them) within AnswerLimit;
// a server that does not, or breaks the protocol, fails the open with
// ERROR_GEN_FAILURE. Bytes that come meanwhile are kept for the first read.
// Probing never connects: connecting makes the server open its device,
// which raises DTR and resets many boards. A well-formed address is free.
//
// SetCommState sends every setting and waits up to AnswerLimit for the
// server's answers to the framing and flow-control commands; the values
// answered must be the ones asked (the speed within 2 %, as a local driver's
// divisor may round), or the previous settings are sent back and the call
// fails with ERROR_NOT_SUPPORTED, as a local refusal does. DTR and RTS (and
// the escape functions) are sent without waiting: a server whose device has
// no modem lines does not answer them at all.
// DCB → SET-CONTROL: fOutxCtsFlow 3, fOutxDsrFlow 19, fOutX 2, else 1
// (outbound, which RFC 2217 applies to both directions); inbound only where
// it differs from that: RTS_CONTROL_HANDSHAKE 16, DTR_CONTROL_HANDSHAKE 18,
// fInX 15, else 14. Refused as on POSIX: RTS_CONTROL_TOGGLE,
// fDsrSensitivity, fErrorChar, fAbortOnError, 4 data bits.
//
// The I/O thread, one per open device, is the only user of the connection
// after the open. It sends what other threads queued (commands) and, while
// the server has not suspended the flow (FLOWCONTROL-SUSPEND) and SETXOFF is
// not in force, encodes the pending writes into its own output a slice at a
// time: a write completes once all of its bytes are in that output. It
// receives only as much as the input queue has room for (the data can only
// shrink on decoding), so a full queue leaves the rest to TCP's own flow
// control. A connection closed or reset by the server, failed by the
// keep-alive probes (NetSocket.h), or a server that breaks the protocol
// (an endless subnegotiation) is a lost device; the thread then closes the
// connection and waits for the device to be destroyed.
//
// The trace (area "platform") gets every open with the address, its outcome
// and the settings found, every refused setting with what the server
// answered, malformed server messages, every loss with its cause and every
// close.

#include "platform/CommBackends.h"
#include "platform/CommDriver.h"
#include "platform/NetSocket.h"
#include "platform/NetworkPort.h"
#include "platform/TelnetCodec.h"
#include "platform/Trace.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace afp {

namespace {

using namespace std::chrono_literals;
using telnet::TBytes;
using telnet::TComPortCommand;
using telnet::TComPortMessage;
using telnet::TServerReport;
using telnet::TTelnetCodec;
using TClock = std::chrono::steady_clock;
using TKind = TServerReport::TKind;

constexpr auto ConnectLimit = 2000ms;
constexpr auto AnswerLimit = 2000ms;
constexpr std::size_t ReceiveChunk = std::size_t{64} * 1024;
// Pending writes are encoded this much at a time, while less than
// OutputHighWater waits to be sent.
constexpr std::size_t SendSlice = std::size_t{16} * 1024;
constexpr std::size_t OutputHighWater = std::size_t{64} * 1024;
constexpr int MaxSendRounds = 16;
constexpr unsigned SpeedTolerancePercent = 2;
constexpr std::uint8_t ModemStateMask = 0xFF;
// Overrun, parity, framing, break.
constexpr std::uint8_t LineStateMask = 0x1E;

// SET-CONTROL values (RFC 2217).
enum TControl : std::uint8_t {
    AskOutbound = 0,
    FlowNone = 1,
    FlowXonXoff = 2,
    FlowHardware = 3,
    BreakOn = 5,
    BreakOff = 6,
    DtrOn = 8,
    DtrOff = 9,
    RtsOn = 11,
    RtsOff = 12,
    AskInbound = 13,
    InNone = 14,
    InXonXoff = 15,
    InHardware = 16,
    InDtr = 18,
    FlowDsr = 19,
};

// The settings the server answers, one slot each.
enum TSetting : std::size_t { Baud, DataSize, Parity, StopSize, OutFlow, InFlow, Dtr, Rts, SettingCount };
constexpr const char* SettingNames[SettingCount] = {"speed",         "data size",    "parity", "stop size",
                                                    "outbound flow", "inbound flow", "DTR",    "RTS"};

std::optional<TSetting> SettingOfControl(std::uint32_t value) {
    if (value <= FlowHardware || value == 17 || value == FlowDsr) return OutFlow;
    if (value >= 7 && value <= DtrOff) return Dtr;
    if (value >= 10 && value <= RtsOff) return Rts;
    if ((value >= AskInbound && value <= InHardware) || value == InDtr) return InFlow;
    return std::nullopt;  // BREAK
}

std::optional<TSetting> SettingOf(const TServerReport& report) {
    switch (report.Kind) {
        case TKind::BaudRate: return Baud;
        case TKind::DataSize: return DataSize;
        case TKind::Parity: return Parity;
        case TKind::StopSize: return StopSize;
        case TKind::Control: return SettingOfControl(report.Value);
        default: return std::nullopt;
    }
}

// Requests sent and answers received per setting: a setting is answered
// once as many answers as requests came (the server answers in order, so
// the last value is the answer to the last request).
struct TAnswers {
    std::array<std::uint32_t, SettingCount> Requested{};
    std::array<std::uint32_t, SettingCount> Answered{};
    std::array<std::uint32_t, SettingCount> Value{};

    void Count(const TServerReport& report) {
        if (const auto setting = SettingOf(report)) {
            ++Answered[*setting];
            Value[*setting] = report.Value;
        }
    }
    bool AllAnswered(const std::vector<TSetting>& awaited) const {
        return std::all_of(awaited.begin(), awaited.end(), [this](TSetting s) { return Answered[s] >= Requested[s]; });
    }
};

// One setting to send: its command and value, and whether to wait for it.
struct TSettingCommand {
    TSetting Setting;
    TComPortCommand Command;
    std::uint32_t Value;
    bool Awaited;
};

DWORD ModemStatusOf(std::uint32_t state) {
    return ((state & 0x10) ? MS_CTS_ON : 0) | ((state & 0x20) ? MS_DSR_ON : 0) | ((state & 0x40) ? MS_RING_ON : 0) |
           ((state & 0x80) ? MS_RLSD_ON : 0);
}

DWORD LineErrorsOf(std::uint32_t state) {
    return ((state & 0x02) ? CE_OVERRUN : 0) | ((state & 0x04) ? CE_RXPARITY : 0) | ((state & 0x08) ? CE_FRAME : 0) |
           ((state & 0x10) ? CE_BREAK : 0);
}

constexpr DWORD RefusedFlags = DCB_FDSRSENSITIVITY | DCB_FERRORCHAR | DCB_FABORTONERROR;

// The commands that put dcb in force; ERROR_SUCCESS or why it cannot be.
DWORD CommandsFor(const DCB& dcb, std::vector<TSettingCommand>& commands) {
    const DWORD flags = DcbFlags(dcb);
    if ((flags & RefusedFlags) || DcbRtsControl(dcb) == RTS_CONTROL_TOGGLE || dcb.ByteSize < 5)
        return ERROR_NOT_SUPPORTED;
    if ((flags & (DCB_FOUTX | DCB_FINX)) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;
    const std::uint8_t stopSize = dcb.StopBits == ONESTOPBIT ? 1 : dcb.StopBits == TWOSTOPBITS ? 2 : 3;
    const std::uint8_t outbound = (flags & DCB_FOUTXCTSFLOW)   ? FlowHardware
                                  : (flags & DCB_FOUTXDSRFLOW) ? FlowDsr
                                  : (flags & DCB_FOUTX)        ? FlowXonXoff
                                                               : FlowNone;
    const std::uint8_t impliedInbound = outbound == FlowHardware  ? InHardware
                                        : outbound == FlowXonXoff ? InXonXoff
                                                                  : InNone;
    const std::uint8_t inbound = DcbRtsControl(dcb) == RTS_CONTROL_HANDSHAKE   ? InHardware
                                 : DcbDtrControl(dcb) == DTR_CONTROL_HANDSHAKE ? InDtr
                                 : (flags & DCB_FINX)                          ? InXonXoff
                                                                               : InNone;
    commands = {
        {Baud, TComPortCommand::SetBaudRate, dcb.BaudRate, true},
        {DataSize, TComPortCommand::SetDataSize, dcb.ByteSize, true},
        {Parity, TComPortCommand::SetParity, static_cast<std::uint32_t>(dcb.Parity + 1), true},
        {StopSize, TComPortCommand::SetStopSize, stopSize, true},
        {OutFlow, TComPortCommand::SetControl, outbound, true},
    };
    if (inbound != impliedInbound) commands.push_back({InFlow, TComPortCommand::SetControl, inbound, true});
    if (const DWORD dtr = DcbDtrControl(dcb); dtr != DTR_CONTROL_HANDSHAKE)
        commands.push_back({Dtr, TComPortCommand::SetControl, dtr == DTR_CONTROL_ENABLE ? DtrOn : DtrOff, false});
    if (const DWORD rts = DcbRtsControl(dcb); rts != RTS_CONTROL_HANDSHAKE)
        commands.push_back({Rts, TComPortCommand::SetControl, rts == RTS_CONTROL_ENABLE ? RtsOn : RtsOff, false});
    return ERROR_SUCCESS;
}

void Encode(const TSettingCommand& command, TBytes& out) {
    if (command.Command == TComPortCommand::SetBaudRate)
        TTelnetCodec::EncodeBaudRate(command.Value, out);
    else
        TTelnetCodec::EncodeComPort(command.Command, static_cast<std::uint8_t>(command.Value), out);
}

bool TookSetting(const TSettingCommand& command, std::uint32_t answer) {
    if (command.Setting != Baud) return answer == command.Value;
    const unsigned long error =
        static_cast<unsigned long>(std::labs(static_cast<long>(answer) - static_cast<long>(command.Value)));
    return error * 100 <= static_cast<unsigned long>(command.Value) * SpeedTolerancePercent;
}

// The line as the server answered the open's queries.
DCB DcbFromAnswers(const TAnswers& answers) {
    DCB dcb = MakeDefaultDcb();
    if (answers.Value[Baud] != 0) dcb.BaudRate = answers.Value[Baud];
    if (answers.Value[DataSize] >= 5 && answers.Value[DataSize] <= 8)
        dcb.ByteSize = static_cast<BYTE>(answers.Value[DataSize]);
    if (answers.Value[Parity] >= 1 && answers.Value[Parity] <= 5)
        dcb.Parity = static_cast<BYTE>(answers.Value[Parity] - 1);
    if (answers.Value[StopSize] == 2) dcb.StopBits = TWOSTOPBITS;
    if (answers.Value[StopSize] == 3) dcb.StopBits = ONE5STOPBITS;
    DWORD flags = DcbFlags(dcb);
    switch (answers.Value[OutFlow]) {
        case FlowXonXoff: flags |= DCB_FOUTX | DCB_FINX; break;
        case FlowHardware:
            flags =
                (flags & ~DCB_FRTSCONTROL_MASK) | DCB_FOUTXCTSFLOW | (RTS_CONTROL_HANDSHAKE << DCB_FRTSCONTROL_SHIFT);
            break;
        case FlowDsr: flags |= DCB_FOUTXDSRFLOW; break;
        case FlowNone:
            // The inbound answer counts only where the outbound one left the
            // choice open (some servers report it wrongly otherwise).
            if (answers.Value[InFlow] == InXonXoff) flags |= DCB_FINX;
            if (answers.Value[InFlow] == InHardware)
                flags = (flags & ~DCB_FRTSCONTROL_MASK) | (RTS_CONTROL_HANDSHAKE << DCB_FRTSCONTROL_SHIFT);
            if (answers.Value[InFlow] == InDtr)
                flags = (flags & ~DCB_FDTRCONTROL_MASK) | (DTR_CONTROL_HANDSHAKE << DCB_FDTRCONTROL_SHIFT);
            break;
        default: break;
    }
    SetDcbFlags(dcb, flags);
    return dcb;
}

// The connection and what travels on it: the socket, the Telnet codec (none
// for tcp://) and the bytes waiting to be sent. One thread at a time.
class TLink {
public:
    TLink(std::unique_ptr<TNetSocket> socket, bool telnet) : socket_(std::move(socket)), received_(ReceiveChunk) {
        if (telnet) codec_.emplace();
    }
    TNetSocket& Socket() const { return *socket_; }
    bool Telnet() const { return codec_.has_value(); }
    TTelnetCodec* Codec() { return codec_ ? &*codec_ : nullptr; }

    // Whole commands or encoded data only, so nothing is ever cut in two.
    TBytes& Output() { return output_; }
    std::size_t Pending() const { return output_.size() - sent_; }
    void EncodeData(const BYTE* data, std::size_t count) {
        if (codec_)
            codec_->EncodeData({data, count}, output_);
        else
            output_.insert(output_.end(), data, data + count);
    }

    // Sends what the socket takes; false with failure set when it broke.
    bool Send(std::string& failure) {
        while (Pending() > 0) {
            const TNetResult result = socket_->Send(output_.data() + sent_, Pending());
            if (result.Status == TNetResult::TStatus::WouldBlock) break;
            if (result.Status != TNetResult::TStatus::Done) {
                failure = "sending failed: " + TNetSocket::ErrorText(result.Error);
                return false;
            }
            sent_ += result.Count;
        }
        if (sent_ == output_.size()) {
            output_.clear();
            sent_ = 0;
        } else if (sent_ > output_.size() / 2) {
            output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(sent_));
            sent_ = 0;
        }
        return true;
    }

    enum class TReceived { Nothing, Some, Broken };
    // Receives at most room bytes and decodes them into data and messages
    // (answers owed to the server go to the output).
    TReceived Receive(std::size_t room, TBytes& data, std::vector<TComPortMessage>& messages, std::string& failure) {
        const TNetResult result = socket_->Receive(received_.data(), std::min(room, received_.size()));
        switch (result.Status) {
            case TNetResult::TStatus::WouldBlock: return TReceived::Nothing;
            case TNetResult::TStatus::Closed: failure = "the server closed the connection"; return TReceived::Broken;
            case TNetResult::TStatus::Failed:
                failure = "receiving failed: " + TNetSocket::ErrorText(result.Error);
                return TReceived::Broken;
            case TNetResult::TStatus::Done: break;
        }
        const std::span<const std::uint8_t> in(received_.data(), result.Count);
        if (!codec_) {
            data.insert(data.end(), in.begin(), in.end());
        } else if (!codec_->Feed(in, data, messages, output_)) {
            failure = codec_->Problem();
            return TReceived::Broken;
        }
        return TReceived::Some;
    }

private:
    std::unique_ptr<TNetSocket> socket_;
    std::optional<TTelnetCodec> codec_;
    TBytes output_;
    std::size_t sent_ = 0;
    TBytes received_;
};

enum class TMode { LineControl, RawTelnet, RawTcp };

// What the open found out; the device takes it over.
struct TOpenedLink {
    std::string Name;
    TMode Mode = TMode::RawTcp;
    std::unique_ptr<TLink> Link;
    DCB State = MakeDefaultDcb();
    DWORD ModemStatus = 0;
    bool Suspended = false;
    TBytes EarlyData;
    TAnswers Answers;
};

int RemainingMs(TClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// Sends and receives on the opener's thread until done() holds; false with
// failure set when the deadline passes first or the connection breaks.
template <class Done>
bool PumpUntil(TOpenedLink& opened, Done done, TClock::time_point deadline, const char* waitingFor,
               std::string& failure) {
    TLink& link = *opened.Link;
    TBytes data;
    std::vector<TComPortMessage> messages;
    for (;;) {
        if (!link.Send(failure)) return false;
        if (done()) return true;
        const int left = RemainingMs(deadline);
        if (left == 0) {
            failure = std::string("no ") + waitingFor + " within " + std::to_string(AnswerLimit.count()) + " ms";
            return false;
        }
        // A server that floods before it negotiates is not waited for.
        const bool room = opened.EarlyData.size() < TCommDriver::MinInputQueue;
        link.Socket().Wait(room, link.Pending() > 0, left);
        if (!room) continue;
        data.clear();
        messages.clear();
        if (link.Receive(ReceiveChunk, data, messages, failure) == TLink::TReceived::Broken) return false;
        opened.EarlyData.insert(opened.EarlyData.end(), data.begin(), data.end());
        for (const TComPortMessage& message : messages) {
            const TServerReport report = telnet::ReadServerReport(message);
            opened.Answers.Count(report);
            if (report.Kind == TKind::ModemState) opened.ModemStatus = ModemStatusOf(report.Value);
            if (report.Kind == TKind::Suspend) opened.Suspended = true;
            if (report.Kind == TKind::Resume) opened.Suspended = false;
        }
    }
}

// The Telnet negotiation and the queries for the present settings.
bool Negotiate(TOpenedLink& opened, std::string& failure) {
    TLink& link = *opened.Link;
    TTelnetCodec& codec = *link.Codec();
    const auto deadline = TClock::now() + AnswerLimit;
    codec.Start(link.Output());
    if (!PumpUntil(
            opened, [&] { return codec.ComPortAccepted().has_value(); }, deadline, "answer to COM-PORT-OPTION",
            failure))
        return false;
    if (!*codec.ComPortAccepted()) {
        opened.Mode = TMode::RawTelnet;
        return true;
    }
    opened.Mode = TMode::LineControl;
    TBytes& out = link.Output();
    TTelnetCodec::EncodeComPort(TComPortCommand::SetModemStateMask, ModemStateMask, out);
    TTelnetCodec::EncodeComPort(TComPortCommand::SetLineStateMask, LineStateMask, out);
    TTelnetCodec::EncodeBaudRate(0, out);
    TTelnetCodec::EncodeComPort(TComPortCommand::SetDataSize, 0, out);
    TTelnetCodec::EncodeComPort(TComPortCommand::SetParity, 0, out);
    TTelnetCodec::EncodeComPort(TComPortCommand::SetStopSize, 0, out);
    TTelnetCodec::EncodeComPort(TComPortCommand::SetControl, AskOutbound, out);
    TTelnetCodec::EncodeComPort(TComPortCommand::SetControl, AskInbound, out);
    const std::vector<TSetting> asked = {Baud, DataSize, Parity, StopSize, OutFlow, InFlow};
    for (const TSetting setting : asked) opened.Answers.Requested[setting] = opened.Answers.Answered[setting] + 1;
    if (!PumpUntil(
            opened, [&] { return opened.Answers.AllAnswered(asked); }, deadline,
            "answer to the queries for the line's settings", failure))
        return false;
    opened.State = DcbFromAnswers(opened.Answers);
    return true;
}

// Owns the connection and the I/O thread. The Line* hooks run on the
// callers' threads; everything else below runs on the I/O thread.
class TNetworkCommDevice final : public TCommDriver {
public:
    explicit TNetworkCommDevice(TOpenedLink opened);
    ~TNetworkCommDevice() override;

protected:
    DWORD LineApplyState(const DCB& dcb) override;
    DWORD LineEscape(DWORD function) override;
    void LineFlush(DWORD purgeFlags) override;
    void LineWake() override { link_->Socket().Wake(); }

private:
    // LineApplyState's: queues the commands for the server and waits, within
    // AnswerLimit, for the answers to those it answers. True when every one
    // came; answers: the answers as they stand then.
    bool SendSettings(const std::vector<TSettingCommand>& commands, TAnswers& answers);

    void Run();
    // Each returns false once the connection is lost. more: there are
    // writes left to take at once.
    bool ReadInput();
    bool WriteOutput(bool& more);
    // Whether it took bytes of the pending writes.
    bool FillOutput();
    void Apply(const TServerReport& report);
    void Lose(const std::string& cause);
    // Queues bytes for the server from any thread.
    void Post(const TBytes& bytes);

    const std::string name_;
    const TMode mode_;
    const std::unique_ptr<TLink> link_;  // I/O thread only after start, but Wake() from any
    std::mutex lock_;                    // guards outbox_, answers_, heldByXoff_
    std::condition_variable answered_;   // an answer came, or the connection went
    TBytes outbox_;
    TAnswers answers_;
    bool heldByXoff_ = false;
    bool suspended_;                         // I/O thread only
    bool ringSeen_ = false;                  // I/O thread only
    TBytes data_;                            // I/O thread only
    std::vector<TComPortMessage> messages_;  // I/O thread only
    std::atomic<bool> lost_{false};
    std::atomic<bool> stripNull_{false};
    std::atomic<bool> stopping_{false};
    std::mutex settingsLock_;  // one SetCommState at a time
    std::thread thread_;       // last: starts once the rest exists
};

TNetworkCommDevice::TNetworkCommDevice(TOpenedLink opened)
    : TCommDriver(opened.State, opened.ModemStatus),
      name_(std::move(opened.Name)),
      mode_(opened.Mode),
      link_(std::move(opened.Link)),
      answers_(opened.Answers),
      suspended_(opened.Suspended),
      ringSeen_(opened.ModemStatus & MS_RING_ON) {
    DeliverInput(opened.EarlyData.data(), opened.EarlyData.size());
    thread_ = std::thread(&TNetworkCommDevice::Run, this);
}

TNetworkCommDevice::~TNetworkCommDevice() {
    ShutdownDriver();
    stopping_.store(true);
    LineWake();
    thread_.join();
    Trace(TTraceArea::Platform, "close ", name_);
}

void TNetworkCommDevice::Post(const TBytes& bytes) {
    {
        std::lock_guard guard(lock_);
        outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
    }
    LineWake();
}

void TNetworkCommDevice::Run() {
    while (!stopping_.load()) {
        bool wantRead = false;
        bool more = false;
        if (!lost_.load()) {
            if (!ReadInput() || !WriteOutput(more)) continue;
            wantRead = InputRoom() > 0;
        }
        link_->Socket().Wait(wantRead, !lost_.load() && link_->Pending() > 0, more ? 0 : -1);
    }
}

bool TNetworkCommDevice::FillOutput() {
    bool held = false;
    {
        std::lock_guard guard(lock_);
        TBytes& output = link_->Output();
        output.insert(output.end(), outbox_.begin(), outbox_.end());
        outbox_.clear();
        held = heldByXoff_;
    }
    if (held || suspended_) return false;
    const BYTE* data = nullptr;
    std::size_t count = 0;
    bool took = false;
    while (link_->Pending() < OutputHighWater && BeginOutput(data, count)) {
        const std::size_t slice = std::min(count, SendSlice);
        link_->EncodeData(data, slice);
        EndOutput(slice);
        took = true;
    }
    return took;
}

bool TNetworkCommDevice::WriteOutput(bool& more) {
    // While the socket takes everything, more is taken, up to a bound, so
    // that the input (a FLOWCONTROL-SUSPEND among it) is looked at between.
    for (int round = 0; round < MaxSendRounds; ++round) {
        // Without room nothing is taken now, but once the socket has taken
        // the rest there is: the wake that announced the writes may already
        // have been used up.
        const bool room = link_->Pending() < OutputHighWater;
        const bool took = FillOutput();
        std::string failure;
        if (!link_->Send(failure)) {
            Lose(failure);
            return false;
        }
        if (link_->Pending() > 0) return true;  // the socket is full: its POLLOUT wakes the thread
        if (room && !took) return true;         // nothing to take: a new write wakes the thread
    }
    more = true;  // the writes go on at once, without a wait
    return true;
}

bool TNetworkCommDevice::ReadInput() {
    const std::size_t room = InputRoom();
    if (room == 0) return true;
    data_.clear();
    messages_.clear();
    std::string failure;
    const TLink::TReceived received = link_->Receive(room, data_, messages_, failure);
    if (received == TLink::TReceived::Broken) {
        Lose(failure);
        return false;
    }
    if (stripNull_.load()) data_.erase(std::remove(data_.begin(), data_.end(), BYTE{0}), data_.end());
    if (!data_.empty()) {
        HandOverGatheredElsewhere();
        if (DeliverInput(data_.data(), data_.size()) < data_.size()) ReportLineErrors(CE_RXOVER);
    }
    for (const TComPortMessage& message : messages_) Apply(telnet::ReadServerReport(message));
    return true;
}

void TNetworkCommDevice::Apply(const TServerReport& report) {
    switch (report.Kind) {
        case TKind::ModemState: {
            const DWORD status = ModemStatusOf(report.Value);
            SetModemStatus(status);  // raises EV_RING itself when RING comes on
            // A ring that came and went between two notifications shows
            // only in its trailing-edge bit.
            if ((report.Value & 0x04) && !ringSeen_ && !(status & MS_RING_ON)) ReportRing();
            ringSeen_ = status & MS_RING_ON;
            break;
        }
        case TKind::LineState: ReportLineErrors(LineErrorsOf(report.Value)); break;
        case TKind::Suspend:
            Trace(TTraceArea::Platform, name_, ": the server suspends the data it is sent");
            suspended_ = true;
            break;
        case TKind::Resume:
            Trace(TTraceArea::Platform, name_, ": the server resumes the data it is sent");
            suspended_ = false;
            break;
        case TKind::Truncated:
        case TKind::Unknown:
            Trace(TTraceArea::Platform, name_,
                  ": ignored a malformed or unknown COM-PORT-OPTION message from the server");
            break;
        default: {
            {
                std::lock_guard guard(lock_);
                answers_.Count(report);
            }
            answered_.notify_all();
            break;
        }
    }
}

void TNetworkCommDevice::Lose(const std::string& cause) {
    Trace(TTraceArea::Platform, "lost ", name_, ": ", cause);
    {
        std::lock_guard guard(lock_);
        lost_.store(true);
    }
    answered_.notify_all();
    MarkLost();
    link_->Socket().Disconnect();
}

bool TNetworkCommDevice::SendSettings(const std::vector<TSettingCommand>& commands, TAnswers& answers) {
    TBytes bytes;
    std::vector<TSetting> awaited;
    std::unique_lock guard(lock_);
    for (const TSettingCommand& command : commands) {
        Encode(command, bytes);
        if (!command.Awaited) continue;
        answers_.Requested[command.Setting] = answers_.Answered[command.Setting] + 1;
        awaited.push_back(command.Setting);
    }
    outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
    guard.unlock();
    LineWake();
    guard.lock();
    const bool answered =
        answered_.wait_for(guard, AnswerLimit, [&] { return lost_.load() || answers_.AllAnswered(awaited); });
    answers = answers_;
    return answered;
}

DWORD TNetworkCommDevice::LineApplyState(const DCB& dcb) {
    if (mode_ != TMode::LineControl) {
        // Raw bytes: every setting is taken and none has an effect.
        stripNull_.store(DcbFlags(dcb) & DCB_FNULL);
        return ERROR_SUCCESS;
    }
    std::vector<TSettingCommand> commands;
    if (const DWORD refused = CommandsFor(dcb, commands); refused != ERROR_SUCCESS) {
        Trace(TTraceArea::Platform, "settings of ", name_, ": asked ", dcb, ", RFC 2217 has no such setting -> ",
              TWin32Error{refused});
        return refused;
    }

    std::lock_guard settingsGuard(settingsLock_);
    DCB previous{};
    GetCommState(previous);
    TAnswers answers;
    const bool answered = SendSettings(commands, answers);
    if (lost_.load()) return ERROR_BAD_COMMAND;

    std::string refusal;
    for (const TSettingCommand& command : commands) {
        if (!command.Awaited) continue;
        if (answers.Answered[command.Setting] < answers.Requested[command.Setting])
            refusal += TraceText(", no answer for the ", SettingNames[command.Setting]);
        else if (!TookSetting(command, answers.Value[command.Setting]))
            refusal += TraceText(", ", SettingNames[command.Setting], " ", command.Value, " answered with ",
                                 answers.Value[command.Setting]);
    }
    if (answered && refusal.empty()) {
        stripNull_.store(DcbFlags(dcb) & DCB_FNULL);
        return ERROR_SUCCESS;
    }
    Trace(TTraceArea::Platform, "settings of ", name_, ": asked ", dcb, refusal, " -> ",
          TWin32Error{ERROR_NOT_SUPPORTED});
    // The server may have taken part of it: the previous settings go back,
    // and their answers are awaited here, or a later call would take them
    // for the answers to its own requests.
    std::vector<TSettingCommand> restore;
    if (CommandsFor(previous, restore) == ERROR_SUCCESS) {
        std::erase_if(restore, [](const TSettingCommand& command) { return !command.Awaited; });
        TAnswers ignored;
        SendSettings(restore, ignored);
    }
    return ERROR_NOT_SUPPORTED;
}

DWORD TNetworkCommDevice::LineEscape(DWORD function) {
    if (function == SETXOFF || function == SETXON) {
        {
            std::lock_guard guard(lock_);
            heldByXoff_ = function == SETXOFF;
        }
        LineWake();
        return ERROR_SUCCESS;
    }
    if (mode_ != TMode::LineControl) return ERROR_SUCCESS;  // no lines to move
    std::uint8_t control = 0;
    switch (function) {
        case SETRTS: control = RtsOn; break;
        case CLRRTS: control = RtsOff; break;
        case SETDTR: control = DtrOn; break;
        case CLRDTR: control = DtrOff; break;
        case SETBREAK: control = BreakOn; break;
        case CLRBREAK: control = BreakOff; break;
        default: return ERROR_INVALID_PARAMETER;
    }
    TBytes bytes;
    TTelnetCodec::EncodeComPort(TComPortCommand::SetControl, control, bytes);
    Post(bytes);
    return ERROR_SUCCESS;
}

void TNetworkCommDevice::LineFlush(DWORD purgeFlags) {
    if (mode_ != TMode::LineControl) return;
    // What this end already encoded is at most a slice; it goes, and the
    // server's purge that follows it discards what it still holds.
    const std::uint8_t which = ((purgeFlags & PURGE_RXCLEAR) ? 1 : 0) | ((purgeFlags & PURGE_TXCLEAR) ? 2 : 0);
    if (which == 0) return;
    TBytes bytes;
    TTelnetCodec::EncodeComPort(TComPortCommand::PurgeData, which, bytes);
    Post(bytes);
}

const char* ModeText(TMode mode) {
    switch (mode) {
        case TMode::LineControl: return "RFC 2217 with line control";
        case TMode::RawTelnet: return "the server refuses COM-PORT-OPTION: raw bytes over Telnet";
        case TMode::RawTcp: return "raw TCP";
    }
    return "";
}

}  // namespace

DWORD ProbeNetworkCommDevice(const std::string& name) {
    // Not a connection: see the top of this file.
    const DWORD result = ParseNetworkPort(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    Trace(TTraceArea::Platform, "probe ", name, ": ",
          result == ERROR_SUCCESS ? "a network port, not connected" : "not a valid address", " -> ",
          TWin32Error{result});
    return result;
}

std::unique_ptr<TCommDevice> OpenNetworkCommDevice(const std::string& name) {
    const auto fail = [&name](const std::string& why, DWORD error) -> std::unique_ptr<TCommDevice> {
        Trace(TTraceArea::Platform, "open ", name, ": ", why, " -> ", TWin32Error{error});
        SetLastError(error);
        return nullptr;
    };
    const auto address = ParseNetworkPort(name);
    if (!address) return fail("not a valid address (scheme://host:port)", ERROR_FILE_NOT_FOUND);
    try {
        std::string failure;
        auto socket = TNetSocket::Connect(address->Host, address->Port, ConnectLimit, failure);
        if (!socket) return fail("connecting failed, " + failure, ERROR_FILE_NOT_FOUND);
        TOpenedLink opened;
        opened.Name = name;
        const bool telnet = address->Kind == TNetworkPort::TKind::Rfc2217;
        opened.Link = std::make_unique<TLink>(std::move(socket), telnet);
        if (telnet) {
            if (!Negotiate(opened, failure)) return fail("negotiation failed, " + failure, ERROR_GEN_FAILURE);
            NoteComPortRefused(name, opened.Mode == TMode::RawTelnet);
        }
        Trace(TTraceArea::Platform, "open ", name, ": done, ", ModeText(opened.Mode), ", line found at ", opened.State);
        return std::make_unique<TNetworkCommDevice>(std::move(opened));
    } catch (const std::exception& error) {
        // No memory for the queue or no thread to run the line.
        return fail(error.what(), ERROR_GEN_FAILURE);
    }
}

}  // namespace afp
