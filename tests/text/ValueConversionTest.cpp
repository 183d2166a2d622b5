#include "text/ValueConversion.h"

#include "tests/support/ErrorOf.h"
#include "text/CodePages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::string ConvertErrorText(std::string_view text) {
    return kalvaro::test::ErrorOf([&] { StrToInt(text); });
}

TEST(HexValue, ReadsCapitalDigits) {
    EXPECT_EQ(HexValue("41"), 0x41);
    EXPECT_EQ(HexValue("AB"), 0xAB);
    EXPECT_EQ(HexValue("0F"), 0x0F);
    EXPECT_EQ(HexValue("7FFFFFFF"), 0x7FFFFFFF);
    EXPECT_EQ(HexValue(""), 0);
}

TEST(HexValue, OtherCharactersCountAsZero) {
    EXPECT_EQ(HexValue("g1"), 0x01);
    EXPECT_EQ(HexValue("1b"), 0x10);
    EXPECT_EQ(HexValue("ff"), 0x00);
    EXPECT_EQ(HexValue("1 2"), 0x102);
    EXPECT_EQ(HexValue("\xC1" "1"), 0x01);
    EXPECT_EQ(HexValue("1\0"s + "2"), 0x102);
}

TEST(HexValue, WrapsModulo2To32) {
    EXPECT_EQ(HexValue("FFFFFFFF"), -1);
    EXPECT_EQ(HexValue("80000000"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(HexValue("123456789"), 0x23456789);
    EXPECT_EQ(HexValue("1FFFFFFFF"), -1);
    EXPECT_EQ(HexValue(std::string(1000, 'F')), -1);
}

TEST(StrToInt, ReadsDecimalNumbers) {
    const std::map<std::string, std::int32_t> cases = {
        {"065", 65},          {"300", 300},   {"999", 999},     {"-12", -12},
        {"0", 0},             {"-0", 0},      {"+7", 7},        {" 7", 7},
        {"   -5", -5},        {"000000000000000000042", 42},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(StrToInt(text), value) << "'" << text << "'";
}

TEST(StrToInt, ReadsHexadecimalAfterAPrefix) {
    const std::map<std::string, std::int32_t> cases = {
        {"$1F", 0x1F},  {"x1F", 0x1F},   {"X1F", 0x1F},     {"0x1F", 0x1F}, {"0X1f", 0x1F},
        {"$abc", 0xABC}, {" $10", 16},   {"-$1F", -31},     {"+x10", 16},   {"$00000000FF", 255},
        {"$7FFFFFFF", 2147483647},       {"$FFFFFFFF", -1}, {"$80000000", std::numeric_limits<std::int32_t>::min()},
        {"-$80000000", std::numeric_limits<std::int32_t>::min()},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(StrToInt(text), value) << "'" << text << "'";
}

TEST(StrToInt, RejectsWithTheWholeTextQuoted) {
    EXPECT_EQ(ConvertErrorText("1a2"), "'1a2' is not a valid integer value");
    EXPECT_EQ(ConvertErrorText(""), "'' is not a valid integer value");
    EXPECT_EQ(ConvertErrorText(" 12 "), "' 12 ' is not a valid integer value");
    const std::vector<std::string> rejected = {
        "2147483648", "-2147483649", "99999999999", std::string(400, '9'),
        "$100000000", "$", "x", "0x", "-", "+", " ", "- 5", "+-5", "--5",
        "\t5", "5 ", "1.5", "1,000", "$1G", "0x$1", "00x1F", "$-1", "abc", "1\0"s,
    };
    for (const std::string& text : rejected) {
        try {
            StrToInt(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& error) {
            // what() ends at a zero byte inside the quoted text.
            std::string expected = "'" + text + "' is not a valid integer value";
            expected.resize(std::min(expected.find('\0'), expected.size()));
            EXPECT_EQ(error.what(), expected);
        }
    }
}

TEST(StrToInt, ConversionErrorIsARuntimeError) {
    EXPECT_THROW(StrToInt("12a"), std::runtime_error);
}

TEST(LowByte, KeepsTheLowEightBits) {
    const std::map<std::int32_t, std::uint8_t> cases = {
        {0, 0},       {65, 65},   {255, 255}, {256, 0},      {300, 44},
        {999, 231},   {-1, 255},  {-12, 244}, {-256, 0},     {0x12345678, 0x78},
        {std::numeric_limits<std::int32_t>::min(), 0},       {std::numeric_limits<std::int32_t>::max(), 255},
    };
    for (const auto& [value, byte] : cases) EXPECT_EQ(LowByte(value), byte) << value;
}

// The 22 small letters and their capitals as code page 1250 bytes.
struct TLetterBytes {
    char16_t Small;
    char16_t Capital;
    unsigned char SmallByte;
    unsigned char CapitalByte;
};

const std::vector<TLetterBytes> UpperCasedLetters = {
    {u'ü', u'Ü', 0xFC, 0xDC}, {u'é', u'É', 0xE9, 0xC9}, {u'ď', u'Ď', 0xEF, 0xCF}, {u'ä', u'Ä', 0xE4, 0xC4},
    {u'č', u'Č', 0xE8, 0xC8}, {u'ě', u'Ě', 0xEC, 0xCC}, {u'ĺ', u'Ĺ', 0xE5, 0xC5}, {u'ľ', u'Ľ', 0xBE, 0xBC},
    {u'ž', u'Ž', 0x9E, 0x8E}, {u'ô', u'Ô', 0xF4, 0xD4}, {u'ö', u'Ö', 0xF6, 0xD6}, {u'ů', u'Ů', 0xF9, 0xD9},
    {u'ý', u'Ý', 0xFD, 0xDD}, {u'ť', u'Ť', 0x9D, 0x8D}, {u'á', u'Á', 0xE1, 0xC1}, {u'í', u'Í', 0xED, 0xCD},
    {u'ó', u'Ó', 0xF3, 0xD3}, {u'ú', u'Ú', 0xFA, 0xDA}, {u'ň', u'Ň', 0xF2, 0xD2}, {u'š', u'Š', 0x9A, 0x8A},
    {u'ř', u'Ř', 0xF8, 0xD8}, {u'ŕ', u'Ŕ', 0xE0, 0xC0},
};

TEST(UpCaseChar, MakesTheListedSmallLettersCapitals) {
    ASSERT_EQ(UpperCasedLetters.size(), 22u);
    for (const TLetterBytes& letter : UpperCasedLetters) {
        EXPECT_EQ(CodePageToUnicode(TCodePage::Cp1250, letter.SmallByte), letter.Small);
        EXPECT_EQ(CodePageToUnicode(TCodePage::Cp1250, letter.CapitalByte), letter.Capital);
        EXPECT_EQ(UpCaseChar(letter.SmallByte), letter.CapitalByte) << "byte " << int(letter.SmallByte);
        EXPECT_EQ(UpCaseChar(letter.CapitalByte), letter.CapitalByte);
    }
    for (unsigned char c = 'a'; c <= 'z'; ++c) EXPECT_EQ(UpCaseChar(c), c - 'a' + 'A');
}

TEST(UpCaseChar, LeavesEveryOtherByteAlone) {
    std::map<unsigned char, unsigned char> changed;
    for (unsigned char c = 'a'; c <= 'z'; ++c) changed[c] = static_cast<unsigned char>(c - 'a' + 'A');
    for (const TLetterBytes& letter : UpperCasedLetters) changed[letter.SmallByte] = letter.CapitalByte;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        if (!changed.contains(byte)) {
            EXPECT_EQ(UpCaseChar(byte), byte) << "byte " << b;
        }
    }
    // Small letters of the code page that are not in the list.
    for (const char16_t ch : std::u16string(u"ąłśźżőűţşßăćęđńâçëîˇ˙")) {
        const auto byte = UnicodeToCodePage(TCodePage::Cp1250, ch);
        ASSERT_TRUE(byte.has_value()) << int(ch);
        EXPECT_EQ(UpCaseChar(*byte), *byte) << int(ch);
    }
}

TEST(Groups, SizeFollowsTheFormat) {
    EXPECT_EQ(GroupSize(TInputFormat::Ascii), 1u);
    EXPECT_EQ(GroupSize(TInputFormat::Hex), 2u);
    EXPECT_EQ(GroupSize(TInputFormat::Dec), 3u);
}

TEST(Groups, CutFromTheLeftWithAShorterLast) {
    using TGroups = std::vector<std::string>;
    EXPECT_EQ(CutGroups("6566067", 3), (TGroups{"656", "606", "7"}));
    EXPECT_EQ(CutGroups("065066067", 3), (TGroups{"065", "066", "067"}));
    EXPECT_EQ(CutGroups("414243", 2), (TGroups{"41", "42", "43"}));
    EXPECT_EQ(CutGroups("ABC", 2), (TGroups{"AB", "C"}));
    EXPECT_EQ(CutGroups("hi", 1), (TGroups{"h", "i"}));
    EXPECT_EQ(CutGroups("", 3), TGroups{});
    EXPECT_EQ(CutGroups("ab", 0), (TGroups{"a", "b"}));
    EXPECT_EQ(CutGroups("ab", 5), (TGroups{"ab"}));
}

TEST(ValueByte, EnterLinesGiveTheirBytes) {
    // What an Enter-mode line sends, before its line ends.
    const auto bytesOf = [](TInputFormat format, std::string_view text) {
        std::vector<int> bytes;
        for (const std::string& group : CutGroups(text, GroupSize(format))) bytes.push_back(ValueByte(format, group));
        return bytes;
    };
    EXPECT_EQ(bytesOf(TInputFormat::Hex, "414243"), (std::vector<int>{0x41, 0x42, 0x43}));
    EXPECT_EQ(bytesOf(TInputFormat::Hex, "ABC"), (std::vector<int>{0xAB, 0x0C}));
    EXPECT_EQ(bytesOf(TInputFormat::Dec, "065066067"), (std::vector<int>{65, 66, 67}));
    EXPECT_EQ(bytesOf(TInputFormat::Dec, "6566067"), (std::vector<int>{144, 94, 7}));
    EXPECT_EQ(bytesOf(TInputFormat::Ascii, "A\xE9"), (std::vector<int>{0x41, 0xE9}));
}

TEST(ValueByte, AutoValuesGiveTheirBytes) {
    EXPECT_EQ(ValueByte(TInputFormat::Hex, "41"), 0x41);
    EXPECT_EQ(ValueByte(TInputFormat::Hex, "g1"), 0x01);
    EXPECT_EQ(ValueByte(TInputFormat::Dec, "065"), 65);
    EXPECT_EQ(ValueByte(TInputFormat::Dec, "300"), 44);
    EXPECT_EQ(ValueByte(TInputFormat::Dec, "999"), 231);
    EXPECT_EQ(ValueByte(TInputFormat::Dec, "-12"), 244);
    EXPECT_EQ(ValueByte(TInputFormat::Ascii, "\xFF"), 0xFF);
    EXPECT_EQ(ValueByte(TInputFormat::Ascii, ""), 0);
}

TEST(ValueByte, BadDecimalGroupRaises) {
    try {
        ValueByte(TInputFormat::Dec, "1a2");
        ADD_FAILURE() << "1a2 converted";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "'1a2' is not a valid integer value");
    }
    EXPECT_THROW(ValueByte(TInputFormat::Dec, ""), EConvertError);
}

// An independent reading of the accepted forms, for comparison on many
// generated texts.
std::optional<std::int32_t> ReferenceStrToInt(const std::string& text) {
    static const std::regex decimal("^ *([+-]?)([0-9]+)$");
    static const std::regex hexadecimal("^ *([+-]?)(\\$|0[xX]|[xX])([0-9A-Fa-f]+)$");
    std::smatch match;
    if (std::regex_match(text, match, decimal)) {
        errno = 0;
        const long long magnitude = std::strtoll(match[2].str().c_str(), nullptr, 10);
        const bool negative = match[1] == "-";
        if (errno == ERANGE || magnitude > (negative ? 2147483648LL : 2147483647LL)) return std::nullopt;
        return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    }
    if (std::regex_match(text, match, hexadecimal)) {
        errno = 0;
        const unsigned long long pattern = std::strtoull(match[3].str().c_str(), nullptr, 16);
        if (errno == ERANGE || pattern > 0xFFFFFFFFull) return std::nullopt;
        const auto bits = static_cast<std::uint32_t>(pattern);
        return static_cast<std::int32_t>(match[1] == "-" ? 0u - bits : bits);
    }
    return std::nullopt;
}

TEST(StrToInt, AgreesWithAReferenceOnGeneratedTexts) {
    const std::string alphabet = " +-0123456789$xXaF\t\xE9";
    const std::vector<std::string> signs = {"", "", "+", "-"};
    const std::vector<std::string> prefixes = {"", "", "", "$", "x", "X", "0x", "0X"};
    const std::string digits = "0123456789ABCDEFabcdef";
    std::mt19937 random(20240601);
    const auto pick = [&random](const auto& from) { return from[random() % from.size()]; };
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        if (round % 2 == 0) {
            // Number-like: blanks, sign, prefix, digits, sometimes one stray character.
            text = std::string(random() % 3, ' ') + pick(signs) + pick(prefixes);
            for (std::size_t n = random() % 12; n > 0; --n) text += pick(digits);
            if (random() % 8 == 0) text.insert(random() % (text.size() + 1), 1, pick(alphabet));
        } else {
            for (std::size_t n = random() % 13; n > 0; --n) text += pick(alphabet);
        }
        const std::optional<std::int32_t> expected = ReferenceStrToInt(text);
        try {
            const std::int32_t value = StrToInt(text);
            EXPECT_TRUE(expected.has_value()) << "accepted '" << text << "'";
            if (expected) {
                EXPECT_EQ(value, *expected) << "'" << text << "'";
            }
            ++accepted;
        } catch (const EConvertError& error) {
            EXPECT_FALSE(expected.has_value()) << "rejected '" << text << "'";
            EXPECT_EQ(error.what(), "'" + text + "' is not a valid integer value");
        }
    }
    EXPECT_GT(accepted, 100);
}

}  // namespace
