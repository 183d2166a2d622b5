#include "monitor/ReceiveRules.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values) bytes.push_back(static_cast<char>(v));
    return bytes;
}

TViewRules Rules(TDisplayMode mode, bool aplyChecked, std::string_view separator) {
    // The "Aply" boxes are enabled exactly while the mode is HEX or Decimal.
    return TViewRules{mode, aplyChecked, mode != dmAscii, separator};
}

TEST(ReceiveRules, TextOfOneByte) {
    std::string text;
    AppendByteText(text, dmDecimal, 7);
    AppendByteText(text, dmDecimal, 65);
    AppendByteText(text, dmDecimal, 255);
    AppendByteText(text, dmHex, 10);
    AppendByteText(text, dmHex, 171);
    AppendByteText(text, dmAscii, 'Z');
    AppendByteText(text, dmAscii, 0xE8);
    EXPECT_EQ(text, "0070652550AABZ\xE8");
}

TEST(ReceiveRules, Port1HexWithAndWithoutAplyLf) {
    const std::string bytes = Bytes({0x41, 0x0D, 0x0A});
    const auto unchecked = RenderPort1(bytes, Rules(dmHex, false, " "));
    EXPECT_EQ(unchecked.Text, "41 0D 0A ");
    EXPECT_EQ(unchecked.Counted, 3);
    const auto checked = RenderPort1(bytes, Rules(dmHex, true, " "));
    EXPECT_EQ(checked.Text, "41 0D \n");
    EXPECT_EQ(checked.Counted, 3);
}

TEST(ReceiveRules, Port2HexWithAndWithoutAplyLf) {
    const std::string bytes = Bytes({0x41, 0x0D, 0x0A});
    const auto unchecked = RenderPort2(bytes, Rules(dmHex, false, " "));
    EXPECT_EQ(unchecked.Text, "41 0D 0A ");
    EXPECT_EQ(unchecked.Counted, 3);
    const auto checked = RenderPort2(bytes, Rules(dmHex, true, " "));
    EXPECT_EQ(checked.Text, "41 \n");
    EXPECT_EQ(checked.Counted, 1);
}

TEST(ReceiveRules, AsciiLineEndsOnBothPorts) {
    const std::string bytes = Bytes({'A', 13, 10, 'B'});
    const auto port1 = RenderPort1(bytes, Rules(dmAscii, false, "-"));
    EXPECT_EQ(port1.Text, "A-\nB-");
    EXPECT_EQ(port1.Counted, 4);
    const auto port2 = RenderPort2(bytes, Rules(dmAscii, false, "-"));
    EXPECT_EQ(port2.Text, "A-\nB-");
    EXPECT_EQ(port2.Counted, 2);
}

TEST(ReceiveRules, AplyLfCheckedButDisabledStillBreaksLinesInAscii) {
    // Checked in HEX, then ASCII chosen: the box is disabled but keeps its mark.
    const TViewRules rules{dmAscii, true, false, " "};
    EXPECT_EQ(RenderPort1(Bytes({'x', 10}), rules).Text, "x \n");
}

TEST(ReceiveRules, DecimalWithoutSeparator) {
    EXPECT_EQ(RenderPort1(Bytes({7, 65, 255}), Rules(dmDecimal, false, "")).Text, "007065255");
}

TEST(ReceiveRules, ByteZeroInAsciiIsCountedNotShown) {
    const auto port1 = RenderPort1(Bytes({0}), Rules(dmAscii, false, " "));
    EXPECT_EQ(port1.Text, "");
    EXPECT_EQ(port1.Counted, 1);
    const auto port2 = RenderPort2(Bytes({0}), Rules(dmAscii, false, " "));
    EXPECT_EQ(port2.Text, "");
    EXPECT_EQ(port2.Counted, 1);
    EXPECT_EQ(RenderSent(0, Rules(dmAscii, false, " ")), "");
}

TEST(ReceiveRules, CarriageReturnOnPort2WithAplyLfInForceIsDroppedUncounted) {
    const auto port2 = RenderPort2(Bytes({13, 13}), Rules(dmDecimal, true, ","));
    EXPECT_EQ(port2.Text, "");
    EXPECT_EQ(port2.Counted, 0);
    // Port 1 shows it as a value in the same case.
    EXPECT_EQ(RenderPort1(Bytes({13}), Rules(dmDecimal, true, ",")).Text, "013,");
}

TEST(ReceiveRules, SentBytesWithAplyCrLf) {
    const TViewRules aply = Rules(dmHex, true, "-");
    EXPECT_EQ(RenderSent(0x31, aply) + RenderSent(13, aply) + RenderSent(10, aply), "31-\n-");
    const TViewRules plain = Rules(dmHex, false, "-");
    EXPECT_EQ(RenderSent(13, plain) + RenderSent(10, plain), "0D-0A-");
    EXPECT_EQ(RenderSent(13, Rules(dmDecimal, false, "")), "013");
    // In ASCII a line feed is followed by the separator, a CR is hidden.
    EXPECT_EQ(RenderSent(10, Rules(dmAscii, false, "/")), "\n/");
    EXPECT_EQ(RenderSent(13, Rules(dmAscii, false, "/")), "");
}

// A poll may bring any split of the same stream: the text and counts must not
// depend on where the batches begin and end.
TEST(ReceiveRules, BatchesOfAnySizeGiveTheSameTextAndCounts) {
    std::mt19937 random(99);
    std::string stream(20000, '\0');
    for (char& c : stream) c = static_cast<char>(random() % 4 == 0 ? (random() % 2 ? 10 : 13) : random() % 256);
    for (const TViewRules& rules : {Rules(dmHex, false, " "), Rules(dmHex, true, " "), Rules(dmAscii, false, "|"),
                                    Rules(dmDecimal, true, "")}) {
        const auto whole1 = RenderPort1(stream, rules);
        const auto whole2 = RenderPort2(stream, rules);
        TBatchText pieces1;
        TBatchText pieces2;
        std::size_t at = 0;
        while (at < stream.size()) {
            const std::size_t n = std::min<std::size_t>(random() % 300 + 1, stream.size() - at);
            const auto part1 = RenderPort1(std::string_view(stream).substr(at, n), rules);
            const auto part2 = RenderPort2(std::string_view(stream).substr(at, n), rules);
            pieces1.Text += part1.Text;
            pieces1.Counted += part1.Counted;
            pieces2.Text += part2.Text;
            pieces2.Counted += part2.Counted;
            at += n;
        }
        EXPECT_EQ(pieces1.Text, whole1.Text);
        EXPECT_EQ(pieces1.Counted, whole1.Counted);
        EXPECT_EQ(pieces2.Text, whole2.Text);
        EXPECT_EQ(pieces2.Counted, whole2.Counted);
        EXPECT_EQ(whole1.Counted, 20000);

        // A limited batch is the end of the whole text, with the same counts.
        for (const std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{777}, whole1.Text.size()}) {
            const auto limited1 = RenderPort1(stream, rules, limit);
            const auto limited2 = RenderPort2(stream, rules, limit);
            EXPECT_EQ(limited1.Text, whole1.Text.substr(whole1.Text.size() - std::min(limit, whole1.Text.size())));
            EXPECT_EQ(limited2.Text, whole2.Text.substr(whole2.Text.size() - std::min(limit, whole2.Text.size())));
            EXPECT_EQ(limited1.Counted, whole1.Counted);
            EXPECT_EQ(limited2.Counted, whole2.Counted);
        }
    }
}

}  // namespace
