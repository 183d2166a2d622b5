// The Telnet / RFC 2217 codec on its own: what a client answers to a
// server's negotiation, how data and subnegotiations come apart (also when
// split anywhere between two reads) and what it does with bad input.
#include "platform/TelnetCodec.h"
#include "tests/platform/DeviceFixtures.h"

#include <gtest/gtest.h>

namespace kalvaro::test {
namespace {

using namespace afp::telnet;

// What a Debian ser2net 4.3 sends on connect, before the client says anything.
const TBytes Ser2netGreeting = {Iac, Will, 3,  Iac, Do,  3,    Iac, Will, 1,  Iac, Dont,
                                1,   Iac,  Do, 0,   Iac, Will, 0,   Iac,  Do, 44};

struct TDecoded {
    TBytes Data;
    std::vector<TComPortMessage> Messages;
    TBytes Out;
    bool Ok = true;
};

TDecoded Decode(TTelnetCodec& codec, const TBytes& in) {
    TDecoded decoded;
    decoded.Ok = codec.Feed(in, decoded.Data, decoded.Messages, decoded.Out);
    return decoded;
}

// The same input one byte per Feed.
TDecoded DecodeByteByByte(TTelnetCodec& codec, const TBytes& in) {
    TDecoded decoded;
    for (const std::uint8_t byte : in)
        decoded.Ok = codec.Feed(TBytes{byte}, decoded.Data, decoded.Messages, decoded.Out) && decoded.Ok;
    return decoded;
}

TBytes Started(TTelnetCodec& codec) {
    TBytes out;
    codec.Start(out);
    return out;
}

TEST(TelnetCodec, ClientAsksForBinarySuppressGoAheadAndComPortOption) {
    TTelnetCodec codec;
    EXPECT_EQ(Started(codec), (TBytes{Iac, Will, 0, Iac, Do, 0, Iac, Will, 3, Iac, Do, 3, Iac, Will, 44}));
    EXPECT_FALSE(codec.ComPortAccepted().has_value());
}

TEST(TelnetCodec, Ser2netGreetingAnswersOnlyTheEchoItRefuses) {
    TTelnetCodec codec;
    Started(codec);
    const TDecoded decoded = Decode(codec, Ser2netGreeting);
    EXPECT_TRUE(decoded.Ok);
    // Everything else answered a request of ours, or was a refusal.
    EXPECT_EQ(decoded.Out, (TBytes{Iac, Dont, 1}));
    EXPECT_EQ(codec.ComPortAccepted(), true);
    EXPECT_TRUE(decoded.Data.empty());
}

TEST(TelnetCodec, RequestsAreAnsweredOnceAndRefusalsNever) {
    TTelnetCodec codec;
    Started(codec);
    // Refusals of our requests: no answer, and COM-PORT-OPTION is off.
    EXPECT_TRUE(Decode(codec, {Iac, Dont, 44, Iac, Wont, 0}).Out.empty());
    EXPECT_EQ(codec.ComPortAccepted(), false);
    // Repeats of a refusal change nothing either.
    EXPECT_TRUE(Decode(codec, {Iac, Dont, 44, Iac, Wont, 0, Iac, Wont, 0}).Out.empty());
    // Unwanted offers and requests are refused.
    EXPECT_EQ(Decode(codec, {Iac, Will, 24, Iac, Do, 1}).Out, (TBytes{Iac, Dont, 24, Iac, Wont, 1}));
    // SGA was agreed both ways; switching it off is acknowledged once.
    EXPECT_TRUE(Decode(codec, {Iac, Will, 3, Iac, Do, 3}).Out.empty());
    EXPECT_EQ(Decode(codec, {Iac, Wont, 3, Iac, Dont, 3}).Out, (TBytes{Iac, Dont, 3, Iac, Wont, 3}));
    EXPECT_TRUE(Decode(codec, {Iac, Wont, 3, Iac, Dont, 3}).Out.empty());
}

TEST(TelnetCodec, DoubledIacAndSubnegotiationsDecodeWhereverTheReadsSplit) {
    // 0x12 0xFF 0x34, SET-BAUDRATE answered with 255 (its 0xFF doubled),
    // a NOP between, then 0xFF 0xFF as data.
    const TBytes in = {0x12, Iac, Iac, 0x34, Iac, Sb,  44,  101, 0,   0,  0,
                       Iac,  Iac, Iac, Se,   Iac, 241, Iac, Iac, Iac, Iac};
    for (const bool byteByByte : {false, true}) {
        SCOPED_TRACE(byteByByte ? "one byte per read" : "one read");
        TTelnetCodec codec;
        Started(codec);
        const TDecoded decoded = byteByByte ? DecodeByteByByte(codec, in) : Decode(codec, in);
        EXPECT_TRUE(decoded.Ok);
        EXPECT_EQ(decoded.Data, (TBytes{0x12, 0xFF, 0x34, 0xFF, 0xFF}));
        ASSERT_EQ(decoded.Messages.size(), 1u);
        const TServerReport report = ReadServerReport(decoded.Messages[0]);
        EXPECT_EQ(report.Kind, TServerReport::TKind::BaudRate);
        EXPECT_EQ(report.Value, 255u);
    }
}

TEST(TelnetCodec, EncodedDataAndCommandsDecodeBackUnchanged) {
    TTelnetCodec client;
    Started(client);
    const TBytes data = PatternBytes(4096, 5);
    TBytes wire;
    client.EncodeData(data, wire);
    EXPECT_EQ(wire.size(), data.size() + static_cast<std::size_t>(std::count(data.begin(), data.end(), Iac)));
    TTelnetCodec::EncodeBaudRate(0x00FF00FF, wire);
    const TDecoded decoded = Decode(client, wire);
    EXPECT_TRUE(SameBytes(data, decoded.Data));
    ASSERT_EQ(decoded.Messages.size(), 1u);
    EXPECT_EQ(decoded.Messages[0].Code, 1);  // what a client sends, not an answer
    EXPECT_EQ(decoded.Messages[0].Value, (TBytes{0, 0xFF, 0, 0xFF}));
}

TEST(TelnetCodec, ServerReportsAreCheckedForTheirLength) {
    using TKind = TServerReport::TKind;
    EXPECT_EQ(ReadServerReport({101, {0, 1, 0xC2, 0}}).Value, 115200u);
    EXPECT_EQ(ReadServerReport({101, {0, 1}}).Kind, TKind::Truncated);
    EXPECT_EQ(ReadServerReport({107, {}}).Kind, TKind::Truncated);
    EXPECT_EQ(ReadServerReport({107, {0x30}}).Kind, TKind::ModemState);
    EXPECT_EQ(ReadServerReport({108, {}}).Kind, TKind::Suspend);
    EXPECT_EQ(ReadServerReport({113, {1}}).Kind, TKind::Unknown);
    EXPECT_EQ(ReadServerReport({5, {1}}).Kind, TKind::Unknown);
}

TEST(TelnetCodec, BadCommandsAreDroppedAndTheStreamGoesOn) {
    TTelnetCodec codec;
    Started(codec);
    // An unknown command byte after IAC; a subnegotiation that an IAC WILL
    // interrupts (it is dropped, the WILL counts); an empty one.
    const TDecoded decoded =
        Decode(codec, {'a', Iac, 7, 'b', Iac, Sb, 44, 101, 0, Iac, Will, 1, 'c', Iac, Sb, Iac, Se, 'd'});
    EXPECT_TRUE(decoded.Ok);
    EXPECT_EQ(decoded.Data, (TBytes{'a', 'b', 'c', 'd'}));
    EXPECT_TRUE(decoded.Messages.empty());
    EXPECT_EQ(decoded.Out, (TBytes{Iac, Dont, 1}));
}

TEST(TelnetCodec, EndlessSubnegotiationBreaksTheConnectionWithinItsBound) {
    TTelnetCodec codec;
    Started(codec);
    TBytes in = {Iac, Sb, 44, 100};
    in.resize(in.size() + TTelnetCodec::MaxSubnegotiation, 'x');
    const TDecoded decoded = Decode(codec, in);
    EXPECT_FALSE(decoded.Ok);
    EXPECT_NE(codec.Problem().find("longer than"), std::string::npos) << codec.Problem();
    // Nothing more is decoded.
    EXPECT_FALSE(Decode(codec, {'a', Iac, Se}).Ok);
}

TEST(TelnetCodec, CrNulRulesApplyOnlyWhereBinaryWasRefused) {
    TTelnetCodec codec;
    Started(codec);
    EXPECT_EQ(Decode(codec, {'\r', 0, 'a'}).Data, (TBytes{'\r', 0, 'a'})) << "still negotiating: bytes as they are";
    TBytes sent;
    codec.EncodeData(TBytes{'\r', 'b'}, sent);
    EXPECT_EQ(sent, (TBytes{'\r', 'b'}));

    Decode(codec, {Iac, Wont, 0, Iac, Dont, 0});
    EXPECT_EQ(DecodeByteByByte(codec, {'\r', 0, 'a', '\r', '\n'}).Data, (TBytes{'\r', 'a', '\r', '\n'}));
    sent.clear();
    codec.EncodeData(TBytes{'\r', 'b'}, sent);
    EXPECT_EQ(sent, (TBytes{'\r', 0, 'b'}));

    // A refusal and the CR NUL after it in one read.
    TTelnetCodec oneRead;
    Started(oneRead);
    EXPECT_EQ(Decode(oneRead, {Iac, Wont, 0, '\r', 0, 'a'}).Data, (TBytes{'\r', 'a'}));
}

}  // namespace
}  // namespace kalvaro::test
