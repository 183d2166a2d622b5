#include "text/ValueConversion.h"

#include "text/CodePages.h"

#include <array>
#include <optional>

namespace {

[[noreturn]] void RaiseNotAnInteger(std::string_view text) {
    // Built by concatenation, not printf, so a text holding a zero byte is
    // quoted whole.
    std::string message;
    message.reserve(text.size() + 32);
    message += '\'';
    message += text;
    message += "' is not a valid integer value";
    throw EConvertError(message);
}

std::optional<std::uint32_t> DecimalDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    return std::nullopt;
}

std::optional<std::uint32_t> HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
    return std::nullopt;
}

// The hex prefix at the start of rest, if any, and its length.
std::size_t HexPrefixLength(std::string_view rest) {
    if (rest.empty()) return 0;
    if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') return 1;
    if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) return 2;
    return 0;
}

// The small letters of code page 1250 that the HEX format makes capitals,
// with their capitals. Kept as characters so that the bytes come from the
// code page table itself.
struct TCasePair {
    char16_t Small;
    char16_t Capital;
};

constexpr std::array<TCasePair, 22> UpperCasedLetters = {{
    {u'ü', u'Ü'}, {u'é', u'É'}, {u'ď', u'Ď'}, {u'ä', u'Ä'}, {u'č', u'Č'}, {u'ě', u'Ě'},
    {u'ĺ', u'Ĺ'}, {u'ľ', u'Ľ'}, {u'ž', u'Ž'}, {u'ô', u'Ô'}, {u'ö', u'Ö'}, {u'ů', u'Ů'},
    {u'ý', u'Ý'}, {u'ť', u'Ť'}, {u'á', u'Á'}, {u'í', u'Í'}, {u'ó', u'Ó'}, {u'ú', u'Ú'},
    {u'ň', u'Ň'}, {u'š', u'Š'}, {u'ř', u'Ř'}, {u'ŕ', u'Ŕ'},
}};

using TByteMap = std::array<unsigned char, 256>;

TByteMap MakeUpCaseMap() {
    TByteMap map{};
    for (std::size_t b = 0; b < map.size(); ++b) map[b] = static_cast<unsigned char>(b);
    for (unsigned char c = 'a'; c <= 'z'; ++c) map[c] = static_cast<unsigned char>(c - 'a' + 'A');
    for (const TCasePair& pair : UpperCasedLetters) {
        const auto small = UnicodeToCodePage(TCodePage::Cp1250, pair.Small);
        const auto capital = UnicodeToCodePage(TCodePage::Cp1250, pair.Capital);
        // Every letter of the list is in code page 1250; the tests check it.
        if (small && capital) map[*small] = *capital;
    }
    return map;
}

}  // namespace

std::int32_t HexValue(std::string_view text) {
    std::uint32_t value = 0;
    for (const char c : text) {
        value *= 16;
        if (c >= '0' && c <= '9')
            value += static_cast<std::uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            value += static_cast<std::uint32_t>(c - 'A' + 10);
    }
    return static_cast<std::int32_t>(value);
}

std::int32_t StrToInt(std::string_view text) {
    std::string_view rest = text;
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);

    bool negative = false;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }

    if (const std::size_t prefix = HexPrefixLength(rest); prefix > 0) {
        rest.remove_prefix(prefix);
        if (rest.empty()) RaiseNotAnInteger(text);
        std::uint32_t pattern = 0;
        for (const char c : rest) {
            const auto digit = HexDigit(c);
            if (!digit || pattern > 0x0FFFFFFFu) RaiseNotAnInteger(text);
            pattern = pattern * 16 + *digit;
        }
        return static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
    }

    if (rest.empty()) RaiseNotAnInteger(text);
    const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
    std::uint64_t magnitude = 0;
    for (const char c : rest) {
        const auto digit = DecimalDigit(c);
        if (!digit) RaiseNotAnInteger(text);
        magnitude = magnitude * 10 + *digit;
        if (magnitude > limit) RaiseNotAnInteger(text);
    }
    const auto bits = static_cast<std::uint32_t>(magnitude);
    return static_cast<std::int32_t>(negative ? 0u - bits : bits);
}

std::uint8_t LowByte(std::int32_t value) {
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
}

unsigned char UpCaseChar(unsigned char c) {
    static const TByteMap map = MakeUpCaseMap();
    return map[c];
}

std::size_t GroupSize(TInputFormat format) {
    switch (format) {
    case TInputFormat::Ascii: return 1;
    case TInputFormat::Hex: return 2;
    case TInputFormat::Dec: return 3;
    }
    return 1;
}

std::vector<std::string> CutGroups(std::string_view text, std::size_t groupSize) {
    const std::size_t size = groupSize == 0 ? 1 : groupSize;
    std::vector<std::string> groups;
    groups.reserve(text.size() / size + 1);
    for (std::size_t at = 0; at < text.size(); at += size) groups.emplace_back(text.substr(at, size));
    return groups;
}

std::uint8_t ValueByte(TInputFormat format, std::string_view group) {
    switch (format) {
    case TInputFormat::Ascii: return group.empty() ? 0 : static_cast<std::uint8_t>(group.front());
    case TInputFormat::Hex: return LowByte(HexValue(group));
    case TInputFormat::Dec: return LowByte(StrToInt(group));
    }
    return 0;
}
