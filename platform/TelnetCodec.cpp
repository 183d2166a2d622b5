#include "platform/TelnetCodec.h"

namespace afp::telnet {

namespace {

constexpr std::uint8_t Cr = '\r';

void PushCommand(TBytes& out, std::uint8_t verb, std::uint8_t option) {
    out.push_back(Iac);
    out.push_back(verb);
    out.push_back(option);
}

void PushDoubled(TBytes& out, std::uint8_t byte) {
    out.push_back(byte);
    if (byte == Iac) out.push_back(Iac);
}

}  // namespace

TServerReport ReadServerReport(const TComPortMessage& message) {
    using TKind = TServerReport::TKind;
    const auto& value = message.Value;
    if (message.Code < ServerOffset) return {TKind::Unknown, message.Code};
    const auto command = static_cast<TComPortCommand>(message.Code - ServerOffset);
    auto oneByte = [&value](TKind kind) -> TServerReport {
        if (value.empty()) return {TServerReport::TKind::Truncated, 0};
        return {kind, value[0]};
    };
    switch (command) {
        case TComPortCommand::Signature: return {TKind::Signature, 0};
        case TComPortCommand::SetBaudRate:
            if (value.size() < 4) return {TKind::Truncated, 0};
            return {TKind::BaudRate, std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                                         std::uint32_t{value[2]} << 8 | std::uint32_t{value[3]}};
        case TComPortCommand::SetDataSize: return oneByte(TKind::DataSize);
        case TComPortCommand::SetParity: return oneByte(TKind::Parity);
        case TComPortCommand::SetStopSize: return oneByte(TKind::StopSize);
        case TComPortCommand::SetControl: return oneByte(TKind::Control);
        case TComPortCommand::NotifyLineState: return oneByte(TKind::LineState);
        case TComPortCommand::NotifyModemState: return oneByte(TKind::ModemState);
        case TComPortCommand::FlowControlSuspend: return {TKind::Suspend, 0};
        case TComPortCommand::FlowControlResume: return {TKind::Resume, 0};
        case TComPortCommand::SetLineStateMask: return oneByte(TKind::LineStateMask);
        case TComPortCommand::SetModemStateMask: return oneByte(TKind::ModemStateMask);
        case TComPortCommand::PurgeData: return oneByte(TKind::Purge);
    }
    return {TKind::Unknown, message.Code};
}

bool TTelnetCodec::WeWant(std::uint8_t option) {
    return option == OptionBinary || option == OptionSuppressGoAhead || option == OptionComPort;
}

bool TTelnetCodec::WeWantHim(std::uint8_t option) { return option == OptionBinary || option == OptionSuppressGoAhead; }

void TTelnetCodec::Start(TBytes& out) {
    for (const std::uint8_t option : {OptionBinary, OptionSuppressGoAhead}) {
        options_[option].Us = TQ::WantYes;
        PushCommand(out, Will, option);
        options_[option].Him = TQ::WantYes;
        PushCommand(out, Do, option);
    }
    options_[OptionComPort].Us = TQ::WantYes;
    PushCommand(out, Will, OptionComPort);
    askedBinary_ = true;
    askedComPort_ = true;
}

std::optional<bool> TTelnetCodec::ComPortAccepted() const {
    switch (options_[OptionComPort].Us) {
        case TQ::Yes: return true;
        case TQ::No: return askedComPort_ ? std::optional<bool>(false) : std::nullopt;
        default: return std::nullopt;
    }
}

bool TTelnetCodec::Refused(TQ side) const { return askedBinary_ && side == TQ::No; }

void TTelnetCodec::Negotiate(std::uint8_t verb, std::uint8_t option, TBytes& out) {
    TOption& state = options_[option];
    switch (verb) {
        case Will:
            if (state.Him == TQ::No) {
                const bool take = WeWantHim(option);
                if (take) state.Him = TQ::Yes;
                PushCommand(out, take ? Do : Dont, option);
            } else {
                state.Him = TQ::Yes;  // the answer to our DO, or a repeat
            }
            break;
        case Wont:
            if (state.Him == TQ::Yes) PushCommand(out, Dont, option);  // a switch-off is acknowledged
            state.Him = TQ::No;                                        // a refusal is not
            break;
        case Do:
            if (state.Us == TQ::No) {
                const bool take = WeWant(option);
                if (take) state.Us = TQ::Yes;
                PushCommand(out, take ? Will : Wont, option);
            } else {
                state.Us = TQ::Yes;
            }
            break;
        case Dont:
            if (state.Us == TQ::Yes) PushCommand(out, Wont, option);
            state.Us = TQ::No;
            break;
        default: break;
    }
}

void TTelnetCodec::EndSubnegotiation(std::vector<TComPortMessage>& messages) {
    // Other options' subnegotiations and empty ones carry nothing for us.
    if (sbOption_ == OptionComPort && !sb_.empty())
        messages.push_back({sb_.front(), TBytes(sb_.begin() + 1, sb_.end())});
    sb_.clear();
}

bool TTelnetCodec::Feed(std::span<const std::uint8_t> in, TBytes& data, std::vector<TComPortMessage>& messages,
                        TBytes& out) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::uint8_t byte = in[i];
        switch (state_) {
            case TState::Broken: return false;
            case TState::DataCr:
                state_ = TState::Data;
                if (byte == 0) break;  // CR NUL is a lone CR
                [[fallthrough]];
            case TState::Data:
                if (byte == Iac) {
                    state_ = TState::Iac;
                } else {
                    data.push_back(byte);
                    // Looked up at each CR: a negotiation earlier in this
                    // same read may have changed it.
                    if (byte == Cr && Refused(options_[OptionBinary].Him)) state_ = TState::DataCr;
                }
                break;
            case TState::Iac:
                if (byte == Iac) {
                    data.push_back(Iac);
                    state_ = TState::Data;
                } else if (byte >= Will) {
                    verb_ = byte;
                    state_ = TState::Verb;
                } else if (byte == Sb) {
                    state_ = TState::SbOption;
                } else {
                    state_ = TState::Data;  // NOP, GA, DM, a stray SE: nothing to do
                }
                break;
            case TState::Verb:
                Negotiate(verb_, byte, out);
                state_ = TState::Data;
                break;
            case TState::SbOption:
                if (byte == Iac) {
                    state_ = TState::Iac;  // no option: no subnegotiation
                    break;
                }
                sbOption_ = byte;
                sb_.clear();
                state_ = TState::SbData;
                break;
            case TState::SbIac:
                if (byte == Se) {
                    EndSubnegotiation(messages);
                    state_ = TState::Data;
                    break;
                }
                if (byte != Iac) {
                    // Not a subnegotiation after all: drop it, and the byte
                    // is a command of its own.
                    sb_.clear();
                    state_ = TState::Iac;
                    --i;
                    break;
                }
                [[fallthrough]];
            case TState::SbData:
                if (byte == Iac && state_ == TState::SbData) {
                    state_ = TState::SbIac;
                    break;
                }
                if (sb_.size() >= MaxSubnegotiation) {
                    problem_ = "the server sent a subnegotiation of option " + std::to_string(sbOption_) +
                               " longer than " + std::to_string(MaxSubnegotiation) + " bytes";
                    sb_.clear();
                    sb_.shrink_to_fit();
                    state_ = TState::Broken;
                    return false;
                }
                sb_.push_back(byte);
                state_ = TState::SbData;
                break;
        }
    }
    return state_ != TState::Broken;
}

void TTelnetCodec::EncodeData(std::span<const std::uint8_t> data, TBytes& out) const {
    const bool crNul = Refused(options_[OptionBinary].Us);
    out.reserve(out.size() + data.size() + data.size() / 64);
    for (const std::uint8_t byte : data) {
        PushDoubled(out, byte);
        if (byte == Cr && crNul) out.push_back(0);
    }
}

void TTelnetCodec::EncodeComPort(TComPortCommand command, std::span<const std::uint8_t> value, TBytes& out) {
    out.push_back(Iac);
    out.push_back(Sb);
    out.push_back(OptionComPort);
    out.push_back(static_cast<std::uint8_t>(command));
    for (const std::uint8_t byte : value) PushDoubled(out, byte);
    out.push_back(Iac);
    out.push_back(Se);
}

void TTelnetCodec::EncodeComPort(TComPortCommand command, std::uint8_t value, TBytes& out) {
    EncodeComPort(command, std::span<const std::uint8_t>(&value, 1), out);
}

void TTelnetCodec::EncodeBaudRate(std::uint32_t rate, TBytes& out) {
    const std::uint8_t value[4] = {static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
                                   static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
    EncodeComPort(TComPortCommand::SetBaudRate, value, out);
}

}  // namespace afp::telnet
