#pragma once
// The Telnet framing (RFC 854, 855) and its Com Port Control Option (RFC
// 2217) as a client speaks them, without any socket: bytes in, bytes out.
//
// Decoding (Feed) splits what the server sent into the serial line's data
// bytes, the COM-PORT-OPTION subnegotiations (TComPortMessage, value already
// undoubled) and the answers the negotiation owes the server. Every state is
// kept between calls, so a command or a doubled IAC split across two reads
// decodes as if it had come in one.
//
// Negotiation follows RFC 1143 (the "Q method"): each side of each option is
// No, Yes or WantYes (this client never switches an option off), a request is answered only when it changes the
// state, and the answer to our own request is never answered again. So each
// request is answered exactly once, a refusal is never answered with a
// refusal, and two ends cannot loop. The client asks for BINARY both ways,
// SUPPRESS-GO-AHEAD both ways and offers COM-PORT-OPTION; it accepts nothing
// else (ECHO is refused).
//
// Bad input: a command byte that means nothing after IAC is dropped with it;
// an IAC that is neither SE nor IAC inside a subnegotiation ends that
// subnegotiation unread and counts as a command of its own. A subnegotiation
// longer than MaxSubnegotiation is a broken server: Feed fails and the
// connection is of no more use (Problem() says why). The buffer never grows
// beyond that bound, whatever arrives.
//
// CR/NUL rules (RFC 854) apply only in a direction whose BINARY the other
// end refused: while it is still being asked, bytes pass as they are.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace afp::telnet {

using TBytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t Iac = 255;
inline constexpr std::uint8_t Dont = 254;
inline constexpr std::uint8_t Do = 253;
inline constexpr std::uint8_t Wont = 252;
inline constexpr std::uint8_t Will = 251;
inline constexpr std::uint8_t Sb = 250;
inline constexpr std::uint8_t Se = 240;

inline constexpr std::uint8_t OptionBinary = 0;
inline constexpr std::uint8_t OptionEcho = 1;
inline constexpr std::uint8_t OptionSuppressGoAhead = 3;
inline constexpr std::uint8_t OptionComPort = 44;

// COM-PORT-OPTION commands, client to server; the server answers with the
// code plus ServerOffset.
enum class TComPortCommand : std::uint8_t {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
inline constexpr std::uint8_t ServerOffset = 100;

// One COM-PORT-OPTION subnegotiation from the server: its code (101 for the
// answer to SET-BAUDRATE) and its value.
struct TComPortMessage {
    std::uint8_t Code = 0;
    TBytes Value;
};

// What a server message means, checked for its length.
struct TServerReport {
    enum class TKind {
        Signature,
        BaudRate,
        DataSize,
        Parity,
        StopSize,
        Control,
        LineState,
        ModemState,
        Suspend,
        Resume,
        LineStateMask,
        ModemStateMask,
        Purge,
        Truncated,  // a known code with too short a value
        Unknown,    // a code no server sends
    };
    TKind Kind = TKind::Unknown;
    std::uint32_t Value = 0;  // the number carried (4 bytes for BaudRate, 1 for the others)
};
TServerReport ReadServerReport(const TComPortMessage& message);

class TTelnetCodec {
public:
    static constexpr std::size_t MaxSubnegotiation = 256;

    // The client's requests at connect.
    void Start(TBytes& out);

    // Decodes what the server sent. Returns false once the server has broken
    // the protocol beyond repair; from then on Feed decodes nothing.
    bool Feed(std::span<const std::uint8_t> in, TBytes& data, std::vector<TComPortMessage>& messages, TBytes& out);
    const std::string& Problem() const { return problem_; }

    // Data for the server: IAC doubled (and CR/NUL rules once the server has
    // refused our BINARY).
    void EncodeData(std::span<const std::uint8_t> data, TBytes& out) const;
    static void EncodeComPort(TComPortCommand command, std::span<const std::uint8_t> value, TBytes& out);
    static void EncodeComPort(TComPortCommand command, std::uint8_t value, TBytes& out);
    static void EncodeBaudRate(std::uint32_t rate, TBytes& out);

    // Whether the server took COM-PORT-OPTION: empty while it has not said.
    std::optional<bool> ComPortAccepted() const;

private:
    enum class TState { Data, DataCr, Iac, Verb, SbOption, SbData, SbIac, Broken };
    enum class TQ : std::uint8_t { No, Yes, WantYes };
    // Our side (WILL/WONT) and the server's side (DO/DONT) of one option.
    struct TOption {
        TQ Us = TQ::No;
        TQ Him = TQ::No;
    };

    static bool WeWant(std::uint8_t option);
    static bool WeWantHim(std::uint8_t option);
    void Negotiate(std::uint8_t verb, std::uint8_t option, TBytes& out);
    void EndSubnegotiation(std::vector<TComPortMessage>& messages);
    bool Refused(TQ side) const;

    TState state_ = TState::Data;
    std::uint8_t verb_ = 0;
    std::uint8_t sbOption_ = 0;
    TBytes sb_;
    TOption options_[256];
    bool askedBinary_ = false;
    bool askedComPort_ = false;
    std::string problem_;
};

}  // namespace afp::telnet
