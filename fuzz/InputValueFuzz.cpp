// The input box's value conversion on arbitrary text, as the box sends it: the
// first byte picks the format (and a second group size), the rest is the
// box's text. Checks the strict integer reading against a restatement of its
// grammar, the cutting into groups, each group's byte and its text in the
// lower view, and the HEX format's upper-casing.

#include "fuzz/FuzzCheck.h"
#include "monitor/ReceiveRules.h"
#include "text/CodePages.h"
#include "text/ValueConversion.h"

#include <charconv>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace {

// Blanks, a sign, then decimal digits within the signed range, or a hex
// prefix and at most 32 bits of hex digits taken as two's complement.
std::optional<std::int32_t> ExpectedInteger(std::string_view text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    text.remove_prefix(start);
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X')) {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (base == 16) {
        if (magnitude > 0xFFFFFFFFu) return std::nullopt;
        const auto pattern = static_cast<std::uint32_t>(magnitude);
        return static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
    }
    if (magnitude > (negative ? 2147483648u : 2147483647u)) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                              : static_cast<std::int64_t>(magnitude));
}

// The message as what() shows it: a zero byte in the text ends it there.
std::string NotAnInteger(std::string_view text) {
    const std::string message = "'" + std::string(text) + "' is not a valid integer value";
    return message.c_str();
}

void CheckStrToInt(std::string_view text) {
    const std::optional<std::int32_t> expected = ExpectedInteger(text);
    try {
        const std::int32_t value = StrToInt(text);
        FUZZ_CHECK(expected && *expected == value);
        // Its decimal and hexadecimal renderings read back as the same value.
        FUZZ_CHECK(StrToInt(std::to_string(value)) == value);
        char hex[16];
        std::snprintf(hex, sizeof hex, "$%X", static_cast<unsigned>(value));
        FUZZ_CHECK(StrToInt(hex) == value);
    } catch (const EConvertError& error) {
        FUZZ_CHECK(!expected);
        FUZZ_CHECK(std::string(error.what()) == NotAnInteger(text));
    }
}

std::uint32_t CountedHexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
    return 0;
}

// A sent byte as the lower view shows it in the format's display mode, typed
// again in that format, is the same byte.
void CheckShownByteReadsBack(TInputFormat format, std::uint8_t byte) {
    std::string shown;
    switch (format) {
        case TInputFormat::Ascii: AppendByteText(shown, dmAscii, byte); break;
        case TInputFormat::Hex: AppendByteText(shown, dmHex, byte); break;
        case TInputFormat::Dec: AppendByteText(shown, dmDecimal, byte); break;
    }
    FUZZ_CHECK(shown.size() == GroupSize(format));
    FUZZ_CHECK(CutGroups(shown, GroupSize(format)).size() == 1);
    FUZZ_CHECK(ValueByte(format, shown) == byte);
}

void CheckGroups(std::string_view text, TInputFormat format, std::size_t groupSize) {
    const std::vector<std::string> groups = CutGroups(text, groupSize);
    const std::size_t size = groupSize == 0 ? 1 : groupSize;
    FUZZ_CHECK(groups.size() == (text.size() + size - 1) / size);
    std::string joined;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        FUZZ_CHECK(groups[i].size() == size || (i + 1 == groups.size() && !groups[i].empty() && groups[i].size() < size));
        joined += groups[i];
    }
    FUZZ_CHECK(joined == text);

    for (const std::string& group : groups) {
        switch (format) {
            case TInputFormat::Ascii: {
                const std::uint8_t byte = ValueByte(format, group);
                FUZZ_CHECK(byte == static_cast<std::uint8_t>(group.front()));
                CheckShownByteReadsBack(format, byte);
                break;
            }
            case TInputFormat::Hex: {
                std::uint32_t low = CountedHexDigit(group.back());
                if (group.size() >= 2) low |= CountedHexDigit(group[group.size() - 2]) << 4;
                const std::uint8_t byte = ValueByte(format, group);
                FUZZ_CHECK(byte == low);
                CheckShownByteReadsBack(format, byte);
                break;
            }
            case TInputFormat::Dec: {
                const std::optional<std::int32_t> expected = ExpectedInteger(group);
                try {
                    const std::uint8_t byte = ValueByte(format, group);
                    FUZZ_CHECK(expected && byte == static_cast<std::uint8_t>(static_cast<std::uint32_t>(*expected)));
                    CheckShownByteReadsBack(format, byte);
                } catch (const EConvertError& error) {
                    FUZZ_CHECK(!expected);
                    FUZZ_CHECK(std::string(error.what()) == NotAnInteger(group));
                }
                break;
            }
        }
    }
}

// Upper-casing changes exactly the small letters a-z and those of the 22
// listed code page letters, each to its capital in the same code page.
void CheckUpCase() {
    constexpr std::u16string_view raised = u"üéďäčěĺľžôöůýťáíóúňšřŕ";
    for (unsigned b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        const unsigned char upper = UpCaseChar(byte);
        const char16_t character = CodePageToUnicode(TCodePage::Cp1250, byte);
        const bool listed = (b >= 'a' && b <= 'z') || raised.find(character) != std::u16string_view::npos;
        if (!listed) {
            FUZZ_CHECK(upper == byte);
            continue;
        }
        const auto capital = static_cast<char16_t>(std::towupper(static_cast<wint_t>(character)));
        FUZZ_CHECK(capital != character);
        FUZZ_CHECK(CodePageToUnicode(TCodePage::Cp1250, upper) == capital);
        FUZZ_CHECK(UpCaseChar(upper) == upper);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // towupper knows the accented capitals in a Unicode locale; C.UTF-8 is
    // built into the C library.
    FUZZ_CHECK(std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr);
    CheckUpCase();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const TInputFormat format = static_cast<TInputFormat>(data[0] % 3);
    const std::size_t otherGroupSize = data[0] >> 5;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    CheckStrToInt(text);
    CheckGroups(text, format, GroupSize(format));
    CheckGroups(text, format, otherGroupSize);

    // Typed in the HEX format, every character is upper-cased first; the
    // hex digits then read the same in either case.
    if (format == TInputFormat::Hex) {
        std::string typed;
        for (const char c : text) typed += static_cast<char>(UpCaseChar(static_cast<unsigned char>(c)));
        for (std::size_t at = 0; at < typed.size(); at += 2) {
            const std::string_view group = std::string_view(typed).substr(at, 2);
            unsigned value = 0;
            const auto [end, error] = std::from_chars(group.data(), group.data() + group.size(), value, 16);
            if (error == std::errc() && end == group.data() + group.size())
                FUZZ_CHECK(ValueByte(TInputFormat::Hex, group) == value);
        }
    }
    return 0;
}
