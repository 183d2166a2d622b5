// The editor's text operations without a window: file bytes as text and
// back, the marker insertion text, and pasted line breaks.
#include "editor/EditorText.h"

#include <gtest/gtest.h>

namespace {

TEST(EditorText, FileBytesShowThroughCodePage1250WithPlainLineBreaks) {
    EXPECT_EQ(ScriptTextFromBytes("a\r\nb"), "a\nb");
    EXPECT_EQ(ScriptTextFromBytes("a\rb\nc\n\rd"), "a\nb\nc\n\nd") << "lone CR and LF, and LF CR as two breaks";
    EXPECT_EQ(ScriptTextFromBytes("a\r\n"), "a\n") << "a final break is kept as an empty last line";
    EXPECT_EQ(ScriptTextFromBytes("\r\n"), "\n");
    EXPECT_EQ(ScriptTextFromBytes(""), "");
    EXPECT_EQ(ScriptTextFromBytes(std::string_view("ab\0\r\ncd", 7)), "ab") << "a zero byte ends the text";
    EXPECT_EQ(ScriptTextFromBytes("\x8A\xA3\xFF"), QString::fromUtf8("\u0160\u0141\u02D9"));
}

TEST(EditorText, LinesBecomeCodePageBytesJoinedWithCrLf) {
    EXPECT_EQ(ScriptBytesFromLines({"a", "", "b"}), "a\r\n\r\nb");
    EXPECT_EQ(ScriptBytesFromLines({"a", ""}), "a\r\n");
    EXPECT_EQ(ScriptBytesFromLines({}), "");
    EXPECT_EQ(ScriptBytesFromLines({QString::fromUtf8("\u20AC\u0081")}), "\x80\x81") << "holes of the page round-trip";
    EXPECT_EQ(ScriptBytesFromLines({"ok", QString::fromUtf8("a\u00F1o")}), std::nullopt);

    std::string every;
    for (int value = 1; value < 256; ++value)
        if (value != '\r' && value != '\n') every.push_back(static_cast<char>(value));
    EXPECT_EQ(ScriptBytesFromLines(ScriptTextFromBytes(every + "\r\n" + every).split(u'\n')), every + "\r\n" + every);
}

TEST(EditorText, AMarkerStartsALineOfItsOwn) {
    EXPECT_EQ(MarkerInsertion(0, u"%%HEX%%"), "%%HEX%%\n");
    EXPECT_EQ(MarkerInsertion(1, u"%%HEX%%"), "\n%%HEX%%\n");
    EXPECT_EQ(MarkerInsertion(0, u""), "\n");
}

TEST(EditorText, PastedLineBreaksBecomePlain) {
    EXPECT_EQ(WithPlainLineBreaks(u"a\r\nb\rc\nd\u2028e\u2029f"), "a\nb\nc\nd\ne\nf");
    EXPECT_EQ(WithPlainLineBreaks(u"\r\r\n"), "\n\n");
    EXPECT_TRUE(FitsScriptCodePage(u"\u0160\t\n"));
    EXPECT_FALSE(FitsScriptCodePage(u"\u2028"));
}

}  // namespace
