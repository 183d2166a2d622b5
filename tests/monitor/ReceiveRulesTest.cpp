#include "monitor/ArrivalOrder.h"
#include "monitor/ReceiveRules.h"
#include "monitor/TimeStamps.h"

#include <gtest/gtest.h>

#include <QDateTime>

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
    for (const TViewRules& rules :
         {Rules(dmHex, false, " "), Rules(dmHex, true, " "), Rules(dmAscii, false, "|"), Rules(dmDecimal, true, "")}) {
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

// ---- time stamps ----

constexpr afp::TArrivalTime Ms = 1000;

// Joins the pieces, stamps shown as "[S]" so the layout reads plainly.
std::string Layout(const TStampedBatch& batch) {
    std::string text;
    for (const TStampedPiece& piece : batch.Pieces) {
        if (!piece.Stamp) {
            text += piece.Text;
            continue;
        }
        const std::size_t open = piece.Text.find('[');
        EXPECT_EQ(piece.Text.size() - open, 15u) << piece.Text;
        text += piece.Text.substr(0, open) + "[S]";
    }
    return text;
}

TEST(TimeStamps, AStampGoesWhereTheSourceChangesOrAfterALongerGap) {
    TStamper stamper(20);
    const afp::TArrivalTime t = 1'700'000'000'000'000;
    EXPECT_TRUE(stamper.Take(1, t)) << "the first burst";
    EXPECT_FALSE(stamper.Take(1, t + 20 * Ms)) << "a gap of exactly the threshold";
    EXPECT_TRUE(stamper.Take(1, t + 40 * Ms + 1));
    EXPECT_TRUE(stamper.Take(2, t + 40 * Ms + 2)) << "another port, however soon";
    EXPECT_TRUE(stamper.Take(1, t + 40 * Ms + 3));
    stamper.SetGap(1);
    EXPECT_TRUE(stamper.Take(1, t + 42 * Ms + 4));
    EXPECT_FALSE(stamper.Take(1, t + 43 * Ms + 4));
    stamper.Reset();
    EXPECT_TRUE(stamper.Take(1, t + 43 * Ms + 5)) << "after a reset";
}

TEST(TimeStamps, ReadAsLocalClockTime) {
    TClockText clock;
    for (const qint64 ms :
         {qint64{0}, qint64{1'700'000'000'123}, qint64{1'700'000'059'999}, qint64{1'700'000'060'000}}) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
        const afp::TArrivalTime time = ms * Ms + 999;
        EXPECT_EQ(StampText(clock, time), "[" + local.toString("hh:mm:ss.zzz").toStdString() + "] ");
        EXPECT_EQ(clock.Date(time), local.toString("yyyy-MM-dd").toStdString());
    }
}

TEST(TimeStamps, StampedBatchesBreakLinesOnlyForStampsAndKeepTheCounts) {
    TStamper stamper(20);
    TClockText clock;
    const afp::TArrivalTime t = 1'700'000'000'000'000;
    const TViewRules hex = Rules(dmHex, true, " ");
    // Port 1: a burst in three runs, the third after a gap; the view's last
    // line is not empty, so the first stamp breaks it.
    auto batch = RenderStamped(1, "ab\ncd", {{2, t}, {1, t + 5 * Ms}, {2, t + 30 * Ms}}, hex, stamper, clock, false);
    EXPECT_EQ(Layout(batch), "\n[S]61 62 \n[S]63 64 ");
    EXPECT_EQ(batch.Counted, 5);
    // Port 2 goes on the same line as a stamp of its own; its CR is
    // dropped and not counted, as without stamps.
    batch = RenderStamped(2, "x\r\n", {{3, t + 31 * Ms}}, hex, stamper, clock, false);
    EXPECT_EQ(Layout(batch), "\n[S]78 \n");
    EXPECT_EQ(batch.Counted, 1);
    // Port 2 again, within the gap: no stamp.
    batch = RenderStamped(2, "y", {{1, t + 40 * Ms}}, hex, stamper, clock, true);
    EXPECT_EQ(Layout(batch), "79 ");
    // A limited batch leaves out what the view would drop, but counts all.
    batch = RenderStamped(1, "abc", {{1, t + 100 * Ms}, {1, t + 200 * Ms}, {1, t + 300 * Ms}}, hex, stamper, clock,
                          true, 6);
    EXPECT_EQ(Layout(batch), "[S]62 \n[S]63 ");
    EXPECT_EQ(batch.Counted, 3);
}

}  // namespace

TEST(ArrivalOrder, RunsFollowTheirTimesAndKeepEveryByteOfEachPort) {
    // Port 1: 3 bytes at 10 and 2 at 30, then 1 its chunks do not cover;
    // port 2: 2 at 10 (a tie: port 1 first), 1 at 20, 4 at 40.
    const auto runs = InArrivalOrder(6, {{3, 10}, {2, 30}}, 7, {{2, 10}, {1, 20}, {4, 40}});
    const std::vector<std::vector<std::size_t>> expected = {
        {1, 0, 3, 0, 1}, {2, 0, 3, 0, 2}, {1, 3, 3, 1, 1}, {2, 3, 4, 2, 1}};
    ASSERT_EQ(runs.size(), expected.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::vector<std::size_t> got = {std::size_t(runs[i].Port), runs[i].From, runs[i].Count,
                                              runs[i].FirstChunk, runs[i].ChunkCount};
        EXPECT_EQ(got, expected[i]) << "run " << i;
    }
    // A port without chunks comes after everything else, whole.
    const auto untimed = InArrivalOrder(2, {}, 1, {{1, 5}});
    ASSERT_EQ(untimed.size(), 2u);
    EXPECT_EQ(untimed[0].Port, 2);
    EXPECT_EQ(untimed[1].Port, 1);
    EXPECT_EQ(untimed[1].Count, 2u);
}
