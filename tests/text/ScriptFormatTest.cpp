#include "text/ScriptFormat.h"

#include "tests/support/ErrorOf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using TLines = std::vector<std::string>;

std::string DelayErrorText(std::string_view line) {
    return kalvaro::test::ErrorOf([&] { DelayMilliseconds(line); });
}

TEST(NthWord, SplitsAtRunsOfBlanksOnly) {
    EXPECT_EQ(NthWord(1, "%%USER_DEF 1B%%"), "%%USER_DEF");
    EXPECT_EQ(NthWord(2, "%%USER_DEF 1B%%"), "1B%%");
    EXPECT_EQ(NthWord(1, "   lead  two   three "), "lead");
    EXPECT_EQ(NthWord(2, "   lead  two   three "), "two");
    EXPECT_EQ(NthWord(3, "   lead  two   three "), "three");
    EXPECT_EQ(NthWord(4, "   lead  two   three "), "");
    EXPECT_EQ(NthWord(1, "a\tb c"), "a\tb");
    EXPECT_EQ(NthWord(2, "a\tb c"), "c");
    EXPECT_EQ(NthWord(1, "\xE9\xFF x"), "\xE9\xFF");
    EXPECT_EQ(NthWord(1, "a\0b c"s), "a\0b"s);
}

TEST(NthWord, EmptyWhenThereIsNoSuchWord) {
    EXPECT_EQ(NthWord(1, ""), "");
    EXPECT_EQ(NthWord(1, "     "), "");
    EXPECT_EQ(NthWord(2, "one"), "");
    EXPECT_EQ(NthWord(0, "one"), "");
    EXPECT_EQ(NthWord(-3, "one two"), "");
}

TEST(DigitsOf, KeepsTheDigitsInOrder) {
    EXPECT_EQ(DigitsOf("%%DELAY 1 000%%"), "1000");
    EXPECT_EQ(DigitsOf("%%DELAY 1.5%%"), "15");
    EXPECT_EQ(DigitsOf("%%DELAY 100%%"), "100");
    EXPECT_EQ(DigitsOf("a1\xB9" "2\0" "3"s), "123");
}

TEST(DigitsOf, EmptyWithoutDigits) {
    EXPECT_EQ(DigitsOf(""), "");
    EXPECT_EQ(DigitsOf("   "), "");
    EXPECT_EQ(DigitsOf("\t\r\n\x01"), "");
    EXPECT_EQ(DigitsOf("%%DELAY %%"), "");
    EXPECT_EQ(DigitsOf("%%DELAY x%%"), "");
}

TEST(LineKinds, CommandLinesBeginAndEndWithPercentPairs) {
    EXPECT_TRUE(IsCommandLine("%%HEX%%"));
    EXPECT_TRUE(IsCommandLine("%%"));
    EXPECT_TRUE(IsCommandLine("%%%"));
    EXPECT_TRUE(IsCommandLine("%%USER_DEF 1B %%"));
    EXPECT_TRUE(IsCommandLine("%%hex%%"));
    EXPECT_FALSE(IsCommandLine(" %%HEX%%"));
    EXPECT_FALSE(IsCommandLine("%%HEX%% "));
    EXPECT_FALSE(IsCommandLine("%%HEX%%x"));
    EXPECT_FALSE(IsCommandLine("%%HEX"));
    EXPECT_FALSE(IsCommandLine("%"));
    EXPECT_FALSE(IsCommandLine(""));
    EXPECT_FALSE(IsCommandLine("41 42 43"));
}

TEST(LineKinds, FirstWordSelectsTheMarker) {
    EXPECT_EQ(MarkerOf("%%ASCII%%"), TScriptMarker::Ascii);
    EXPECT_EQ(MarkerOf("%%HEX%%"), TScriptMarker::Hex);
    EXPECT_EQ(MarkerOf("%%DEC%%"), TScriptMarker::Dec);
    EXPECT_EQ(MarkerOf("%%DELAY 100%%"), TScriptMarker::Delay);
    EXPECT_EQ(MarkerOf("%%CR%%"), TScriptMarker::CR);
    EXPECT_EQ(MarkerOf("%%LF%%"), TScriptMarker::LF);
    EXPECT_EQ(MarkerOf("%%USER_DEF 1B%%"), TScriptMarker::UserDef);
    EXPECT_EQ(MarkerOf("%%HEX%% and more %%"), TScriptMarker::Hex);
    EXPECT_EQ(MarkerOf("%%CR%%   %%"), TScriptMarker::CR);
}

TEST(LineKinds, OtherWordsAreUnknown) {
    EXPECT_EQ(MarkerOf("%%HEX%%x %%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf("%%DELAY100%%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf("%%USER_DEF1B%%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf("%%hex%%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf("%%LF ON%%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf("%%CR OFF%%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf("%%HEX%%\t%%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf("%%"), TScriptMarker::Unknown);
    EXPECT_EQ(MarkerOf(""), TScriptMarker::Unknown);
}

TEST(LineKinds, EveryLineTheEditorWritesIsRead) {
    EXPECT_EQ(MarkerOf(MarkerAscii), TScriptMarker::Ascii);
    EXPECT_EQ(MarkerOf(MarkerHex), TScriptMarker::Hex);
    EXPECT_EQ(MarkerOf(MarkerDec), TScriptMarker::Dec);
    EXPECT_EQ(MarkerOf(MarkerCR), TScriptMarker::CR);
    EXPECT_EQ(MarkerOf(MarkerLF), TScriptMarker::LF);
    EXPECT_EQ(DelayLine("250"), "%%DELAY 250%%");
    EXPECT_EQ(DelayLine(""), "%%DELAY %%");
    EXPECT_EQ(UserDefLine("1B"), "%%USER_DEF 1B%%");
    EXPECT_EQ(MarkerOf(DelayLine("250")), TScriptMarker::Delay);
    EXPECT_EQ(MarkerOf(UserDefLine("1B")), TScriptMarker::UserDef);
    for (const std::string_view skipped : {MarkerLfOn, MarkerLfOff, MarkerCrOn, MarkerCrOff}) {
        EXPECT_TRUE(IsCommandLine(skipped)) << skipped;
        EXPECT_EQ(MarkerOf(skipped), TScriptMarker::Unknown) << skipped;
    }
}

TEST(DelayLine, ReadsAllDigitsAsMilliseconds) {
    EXPECT_EQ(DelayMilliseconds("%%DELAY 100%%"), 100);
    EXPECT_EQ(DelayMilliseconds("%%DELAY 1 000%%"), 1000);
    EXPECT_EQ(DelayMilliseconds("%%DELAY 1.5%%"), 15);
    EXPECT_EQ(DelayMilliseconds("%%DELAY -7%%"), 7);
    EXPECT_EQ(DelayMilliseconds("%%DELAY 000%%"), 0);
    EXPECT_EQ(DelayMilliseconds("%%DELAY 00000000000000500%%"), 500);
    EXPECT_EQ(DelayMilliseconds("%%DELAY 2147483647%%"), 2147483647);
}

TEST(DelayLine, MissingOrHugeNumberRaisesWithTheDigits) {
    EXPECT_EQ(DelayErrorText("%%DELAY x%%"), "'' is not a valid integer value");
    EXPECT_EQ(DelayErrorText("%%DELAY %%"), "'' is not a valid integer value");
    EXPECT_EQ(DelayErrorText("%%DELAY 99999999999%%"), "'99999999999' is not a valid integer value");
    EXPECT_EQ(DelayErrorText("%%DELAY 2147483648%%"), "'2147483648' is not a valid integer value");
    EXPECT_EQ(DelayErrorText("%%DELAY 21 474 836 48%%"), "'2147483648' is not a valid integer value");
}

TEST(UserDefLine, SecondWordWithoutItsLastTwoCharacters) {
    EXPECT_EQ(UserDefByte("%%USER_DEF 1B%%"), 0x1B);
    EXPECT_EQ(UserDefByte("%%USER_DEF FF%%"), 0xFF);
    EXPECT_EQ(UserDefByte("%%USER_DEF 1b%%"), 0x10);
    EXPECT_EQ(UserDefByte("%%USER_DEF ff%%"), 0x00);
    EXPECT_EQ(UserDefByte("%%USER_DEF %%"), 0x00);
    EXPECT_EQ(UserDefByte("%%USER_DEF 1B %%"), 0x00);
    EXPECT_EQ(UserDefByte("%%USER_DEF 123%%"), 0x23);
    EXPECT_EQ(UserDefByte("%%USER_DEF   41%% tail"), 0x41);
    EXPECT_EQ(UserDefByte("%%USER_DEF 7"), 0x07);
    EXPECT_EQ(UserDefByte("%%USER_DEF"), 0x00);
}

TEST(UsedInFormat, EachFormatTakesItsCharacters) {
    for (int b = 0; b < 256; ++b) {
        const auto c = static_cast<unsigned char>(b);
        const bool digit = c >= '0' && c <= '9';
        const bool hexLetter = (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        EXPECT_TRUE(UsedInFormat(TInputFormat::Ascii, c)) << b;
        EXPECT_EQ(UsedInFormat(TInputFormat::Hex, c), digit || hexLetter) << b;
        EXPECT_EQ(UsedInFormat(TInputFormat::Dec, c), digit) << b;
    }
    EXPECT_FALSE(UsedInFormat(TInputFormat::Hex, 'G'));
    EXPECT_FALSE(UsedInFormat(TInputFormat::Hex, ' '));
    EXPECT_TRUE(UsedInFormat(TInputFormat::Hex, 'f'));
    EXPECT_FALSE(UsedInFormat(TInputFormat::Dec, ','));
}

TEST(SplitScriptLines, EveryLineEndCounts) {
    EXPECT_EQ(SplitScriptLines("%%HEX%%\r\n41 42 43\r\n%%CR%%"), (TLines{"%%HEX%%", "41 42 43", "%%CR%%"}));
    EXPECT_EQ(SplitScriptLines("a\rb\nc\r\nd"), (TLines{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitScriptLines("a\n\rb"), (TLines{"a", "", "b"}));
    EXPECT_EQ(SplitScriptLines("a\r\r\nb"), (TLines{"a", "", "b"}));
    EXPECT_EQ(SplitScriptLines("\r\n\r\n"), (TLines{"", ""}));
    EXPECT_EQ(SplitScriptLines("\n"), (TLines{""}));
    EXPECT_EQ(SplitScriptLines(""), TLines{});
}

TEST(SplitScriptLines, LineEndAtTheEndMakesNoEmptyLine) {
    EXPECT_EQ(SplitScriptLines("a\r\n"), (TLines{"a"}));
    EXPECT_EQ(SplitScriptLines("a\r"), (TLines{"a"}));
    EXPECT_EQ(SplitScriptLines("a\n"), (TLines{"a"}));
    EXPECT_EQ(SplitScriptLines("a\r\n\r\n"), (TLines{"a", ""}));
    EXPECT_EQ(SplitScriptLines("a"), (TLines{"a"}));
}

TEST(SplitScriptLines, ZeroByteEndsTheText) {
    EXPECT_EQ(SplitScriptLines("ab\0cd\r\nef"s), (TLines{"ab"}));
    EXPECT_EQ(SplitScriptLines("ab\r\n\0cd"s), (TLines{"ab"}));
    EXPECT_EQ(SplitScriptLines("\0ab"s), TLines{});
}

TEST(SplitScriptLines, HighBytesAndControlsStayCharacters) {
    std::string all;
    for (int b = 1; b < 256; ++b)
        if (b != '\r' && b != '\n') all += static_cast<char>(b);
    const TLines lines = SplitScriptLines(all + "\r\n" + all);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], all);
    EXPECT_EQ(lines[1], all);
}

TEST(SplitScriptLines, HandlesLongLinesAndLargeFiles) {
    const std::string longLine(1'000'000, '4');
    const TLines one = SplitScriptLines("%%HEX%%\r\n" + longLine + "\r\n%%CR%%\r\n");
    ASSERT_EQ(one.size(), 3u);
    EXPECT_EQ(one[1], longLine);
    EXPECT_EQ(one[2], "%%CR%%");

    // 50 MB of short lines with the three kinds of line end in turn.
    const std::string pattern = "41 42 43\r\n%%DELAY 1%%\r0123456789\n";
    std::string big;
    big.reserve(50'000'000 + pattern.size());
    while (big.size() < 50'000'000) big += pattern;
    const TLines many = SplitScriptLines(big);
    ASSERT_EQ(many.size(), big.size() / pattern.size() * 3);
    EXPECT_EQ(many.front(), "41 42 43");
    EXPECT_EQ(many[many.size() - 2], "%%DELAY 1%%");
    EXPECT_EQ(many.back(), "0123456789");
}

TEST(Paths, BackslashThenColon) {
    EXPECT_EQ(FolderOfPath("C:\\scripts\\test.cpo"), "C:\\scripts");
    EXPECT_EQ(NameOfPath("C:\\scripts\\test.cpo"), "test.cpo");
    EXPECT_EQ(FolderOfPath("C:test.cpo"), "C");
    EXPECT_EQ(NameOfPath("C:test.cpo"), "test.cpo");
    EXPECT_EQ(FolderOfPath("C:\\test.cpo"), "C:");
    EXPECT_EQ(FolderOfPath("\\test.cpo"), "");
    EXPECT_EQ(NameOfPath("C:\\scripts\\"), "");
    EXPECT_EQ(FolderOfPath("a:b:c"), "a:b");
    EXPECT_EQ(NameOfPath("a:b:c"), "c");
}

TEST(Paths, SlashesCountLikeBackslashes) {
    EXPECT_EQ(FolderOfPath("/home/user/scripts/test.cpo"), "/home/user/scripts");
    EXPECT_EQ(NameOfPath("/home/user/scripts/test.cpo"), "test.cpo");
    EXPECT_EQ(FolderOfPath("/home/a\\b/c.cpo"), "/home/a\\b");
    EXPECT_EQ(FolderOfPath("C:\\dir/sub\\x.cpo"), "C:\\dir/sub");
    EXPECT_EQ(FolderOfPath("/srv/a:b/c.cpo"), "/srv/a:b");
    EXPECT_EQ(NameOfPath("/srv/a:b/c:d.cpo"), "c:d.cpo");
    EXPECT_EQ(FolderOfPath("/test.cpo"), "/");
    EXPECT_EQ(NameOfPath("/test.cpo"), "test.cpo");
    EXPECT_EQ(FolderOfPath("/"), "/");
    EXPECT_EQ(NameOfPath("/"), "");
}

TEST(Paths, NoSeparator) {
    EXPECT_EQ(FolderOfPath("test.cpo"), "");
    EXPECT_EQ(NameOfPath("test.cpo"), "test.cpo");
    EXPECT_EQ(FolderOfPath(""), "");
    EXPECT_EQ(NameOfPath(""), "");
}

TEST(Paths, FolderKeepsItsLast255Characters) {
    std::string folder = "/";
    for (int i = 0; folder.size() < 300; ++i) folder += "dir" + std::to_string(i) + "/";
    folder.pop_back();
    ASSERT_GT(folder.size(), 255u);
    const std::string path = folder + "/test.cpo";
    EXPECT_EQ(FolderOfPath(path), folder.substr(folder.size() - 255));
    EXPECT_EQ(NameOfPath(path), "test.cpo");
    const std::string exact(255, 'd');
    EXPECT_EQ(FolderOfPath(exact + "\\x"), exact);
}

TEST(Paths, Utf16PathsGoTheSameWay) {
    EXPECT_EQ(FolderOfPath(u"/home/jiří/skripty/test.cpo"), u"/home/jiří/skripty");
    EXPECT_EQ(NameOfPath(u"/home/jiří/skripty/žluť.cpo"), u"žluť.cpo");
    EXPECT_EQ(FolderOfPath(u"C:\\scripts\\test.cpo"), u"C:\\scripts");
    EXPECT_EQ(NameOfPath(u"C:test.cpo"), u"test.cpo");
    const std::u16string folder(300, u'ř');
    EXPECT_EQ(FolderOfPath(folder + u"/x"), folder.substr(45));
}

}  // namespace
