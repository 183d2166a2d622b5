#include "text/CodePages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct TKnown {
    unsigned char Byte;
    char16_t Ch;
};

class CodePageRoundTrip : public testing::TestWithParam<TCodePage> {};

TEST_P(CodePageRoundTrip, EveryByteComesBackUnchanged) {
    const TCodePage page = GetParam();
    std::set<char16_t> seen;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        const char16_t ch = CodePageToUnicode(page, byte);
        EXPECT_TRUE(seen.insert(ch).second) << "byte " << b << " shares its character";
        const auto back = UnicodeToCodePage(page, ch);
        ASSERT_TRUE(back.has_value()) << "byte " << b;
        EXPECT_EQ(*back, byte);
    }
}

TEST_P(CodePageRoundTrip, AsciiHalfIsIdentity) {
    for (int b = 0; b < 0x80; ++b)
        EXPECT_EQ(CodePageToUnicode(GetParam(), static_cast<unsigned char>(b)), char16_t(b));
}

TEST_P(CodePageRoundTrip, AllBytesThroughStringHelpers) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string text = BytesToUnicode(GetParam(), all);
    ASSERT_EQ(text.size(), 256u);
    const auto bytes = UnicodeToBytes(GetParam(), text);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, all);
}

INSTANTIATE_TEST_SUITE_P(BothPages, CodePageRoundTrip,
                         testing::Values(TCodePage::Cp1250, TCodePage::Cp1252),
                         [](const testing::TestParamInfo<TCodePage>& info) {
                             return info.param == TCodePage::Cp1250 ? "Cp1250" : "Cp1252";
                         });

void ExpectKnown(TCodePage page, std::initializer_list<TKnown> known) {
    for (const TKnown& k : known) {
        EXPECT_EQ(CodePageToUnicode(page, k.Byte), k.Ch) << "byte " << int(k.Byte);
        const auto byte = UnicodeToCodePage(page, k.Ch);
        ASSERT_TRUE(byte.has_value()) << "character " << int(k.Ch);
        EXPECT_EQ(*byte, k.Byte);
    }
}

TEST(CodePage1250, CentralEuropeanLetters) {
    ExpectKnown(TCodePage::Cp1250, {{0x8A, u'Š'}, {0x9A, u'š'}, {0x8E, u'Ž'}, {0xE8, u'č'},
                                    {0xC8, u'Č'}, {0xF8, u'ř'}, {0xD8, u'Ř'}, {0xF9, u'ů'},
                                    {0xEC, u'ě'}, {0xB9, u'ą'}, {0xA5, u'Ą'}, {0x80, u'€'},
                                    {0xB3, u'ł'}, {0xA3, u'Ł'}, {0xFF, u'˙'}, {0xA0, 0x00A0}});
}

TEST(CodePage1252, WesternLetters) {
    ExpectKnown(TCodePage::Cp1252, {{0x80, u'€'}, {0x9F, u'Ÿ'}, {0xE9, u'é'}, {0x8C, u'Œ'},
                                    {0x83, u'ƒ'}, {0x8A, u'Š'}, {0xDF, u'ß'}, {0xFF, u'ÿ'}});
}

TEST(CodePageHoles, UndefinedBytesAreTheirC1Controls) {
    for (unsigned char b : {0x81, 0x83, 0x88, 0x90, 0x98})
        EXPECT_EQ(CodePageToUnicode(TCodePage::Cp1250, b), char16_t(b)) << int(b);
    for (unsigned char b : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
        EXPECT_EQ(CodePageToUnicode(TCodePage::Cp1252, b), char16_t(b)) << int(b);
}

TEST(CodePageHoles, DefinedBytesOfTheWindowsRangeAreNotControls) {
    const std::set<int> holes1250 = {0x81, 0x83, 0x88, 0x90, 0x98};
    const std::set<int> holes1252 = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
    for (int b = 0x80; b < 0xA0; ++b) {
        if (!holes1250.count(b)) {
            EXPECT_GE(CodePageToUnicode(TCodePage::Cp1250, static_cast<unsigned char>(b)), 0x100) << b;
        }
        if (!holes1252.count(b)) {
            EXPECT_GE(CodePageToUnicode(TCodePage::Cp1252, static_cast<unsigned char>(b)), 0x100) << b;
        }
    }
}

TEST(CodePageRefusal, CharactersOutsideThePageHaveNoByte) {
    EXPECT_FALSE(UnicodeToCodePage(TCodePage::Cp1250, u'中').has_value());
    EXPECT_FALSE(UnicodeToCodePage(TCodePage::Cp1252, u'中').has_value());
    EXPECT_FALSE(UnicodeToCodePage(TCodePage::Cp1252, u'ł').has_value());
    EXPECT_FALSE(UnicodeToCodePage(TCodePage::Cp1252, u'č').has_value());
    EXPECT_FALSE(UnicodeToCodePage(TCodePage::Cp1250, u'ƒ').has_value());
    EXPECT_FALSE(UnicodeToCodePage(TCodePage::Cp1250, u'ÿ').has_value());
}

TEST(CodePageRefusal, StringWithOneForeignCharacterIsRefusedWhole) {
    EXPECT_FALSE(UnicodeToBytes(TCodePage::Cp1252, u"abc ł def").has_value());
    const auto bytes = UnicodeToBytes(TCodePage::Cp1250, u"abc ł def");
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, std::string("abc \xB3 def"));
    EXPECT_EQ(UnicodeToBytes(TCodePage::Cp1250, u"").value(), "");
}

}  // namespace
