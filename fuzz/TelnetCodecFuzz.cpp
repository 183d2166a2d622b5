// The Telnet / RFC 2217 decoder on arbitrary server output. Decoding must
// not depend on where the reads split, must keep within its bounds, must
// answer only with whole negotiation commands, and data encoded for the
// other direction must decode back unchanged.

#include "fuzz/FuzzCheck.h"
#include "platform/TelnetCodec.h"

#include <cstdint>
#include <span>
#include <vector>

namespace {

using namespace afp::telnet;

struct TDecoded {
    TBytes Data;
    std::vector<TComPortMessage> Messages;
    TBytes Out;
    bool Ok = true;
};

TDecoded Decode(std::span<const std::uint8_t> in, std::size_t split) {
    TTelnetCodec codec;
    TDecoded decoded;
    codec.Start(decoded.Out);
    decoded.Out.clear();
    decoded.Ok = codec.Feed(in.first(split), decoded.Data, decoded.Messages, decoded.Out);
    const bool second = codec.Feed(in.subspan(split), decoded.Data, decoded.Messages, decoded.Out);
    decoded.Ok = decoded.Ok && second;
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> in(data + 1, size - 1);
    const std::size_t split = in.empty() ? 0 : data[0] % (in.size() + 1);

    const TDecoded whole = Decode(in, 0);
    const TDecoded parts = Decode(in, split);
    FUZZ_CHECK(whole.Ok == parts.Ok);
    FUZZ_CHECK(whole.Data == parts.Data);
    FUZZ_CHECK(whole.Out == parts.Out);
    FUZZ_CHECK(whole.Messages.size() == parts.Messages.size());
    for (std::size_t i = 0; i < whole.Messages.size(); ++i) {
        FUZZ_CHECK(whole.Messages[i].Code == parts.Messages[i].Code);
        FUZZ_CHECK(whole.Messages[i].Value == parts.Messages[i].Value);
    }

    FUZZ_CHECK(whole.Data.size() <= in.size());
    for (const TComPortMessage& message : whole.Messages) {
        FUZZ_CHECK(message.Value.size() < TTelnetCodec::MaxSubnegotiation);
        const TServerReport report = ReadServerReport(message);
        if (report.Kind == TServerReport::TKind::BaudRate) FUZZ_CHECK(message.Value.size() >= 4);
    }
    FUZZ_CHECK(whole.Out.size() % 3 == 0);
    for (std::size_t i = 0; i < whole.Out.size(); i += 3) {
        FUZZ_CHECK(whole.Out[i] == Iac);
        FUZZ_CHECK(whole.Out[i + 1] >= Will);
    }

    // The other direction: what the client encodes, a server decodes as sent.
    TTelnetCodec client;
    TBytes wire;
    client.Start(wire);
    wire.clear();
    client.EncodeData(in, wire);
    TTelnetCodec::EncodeComPort(TComPortCommand::SetControl, in, wire);
    const TDecoded back = Decode(wire, split % (wire.size() + 1));
    FUZZ_CHECK(back.Data == TBytes(in.begin(), in.end()));
    if (in.size() + 1 < TTelnetCodec::MaxSubnegotiation) {
        FUZZ_CHECK(back.Ok && back.Messages.size() == 1);
        FUZZ_CHECK(back.Messages[0].Value == TBytes(in.begin(), in.end()));
    }
    return 0;
}
