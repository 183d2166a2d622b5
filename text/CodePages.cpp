#include "text/CodePages.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace {

using THighHalf = std::array<char16_t, 128>;

// Bytes 0x80-0xFF. The holes Windows leaves in 0x80-0x9F hold the C1 control
// of the same number.
constexpr THighHalf Cp1250High = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

constexpr THighHalf Cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // A8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // B8
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,  // C0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // C8
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // D0
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,  // D8
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // E0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // E8
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,  // F0
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,  // F8
};

struct TReverseEntry {
    char16_t Ch;
    unsigned char Byte;
};

using TReverseTable = std::array<TReverseEntry, 128>;

// The high half sorted by character, built at compile time, so a character
// is found by binary search.
constexpr TReverseTable MakeReverse(const THighHalf& high) {
    TReverseTable table{};
    for (std::size_t i = 0; i < high.size(); ++i)
        table[i] = {high[i], static_cast<unsigned char>(0x80 + i)};
    std::sort(table.begin(), table.end(),
              [](const TReverseEntry& a, const TReverseEntry& b) { return a.Ch < b.Ch; });
    return table;
}

constexpr bool HasDistinctCharacters(const TReverseTable& table) {
    for (std::size_t i = 1; i < table.size(); ++i)
        if (table[i - 1].Ch == table[i].Ch) return false;
    return true;
}

constexpr TReverseTable Cp1250Reverse = MakeReverse(Cp1250High);
constexpr TReverseTable Cp1252Reverse = MakeReverse(Cp1252High);
static_assert(HasDistinctCharacters(Cp1250Reverse) && HasDistinctCharacters(Cp1252Reverse),
              "a code page must give every byte its own character");

const THighHalf& HighHalf(TCodePage codePage) {
    return codePage == TCodePage::Cp1250 ? Cp1250High : Cp1252High;
}

const TReverseTable& Reverse(TCodePage codePage) {
    return codePage == TCodePage::Cp1250 ? Cp1250Reverse : Cp1252Reverse;
}

}  // namespace

char16_t CodePageToUnicode(TCodePage codePage, unsigned char byte) {
    if (byte < 0x80) return byte;
    return HighHalf(codePage)[byte - 0x80];
}

std::optional<unsigned char> UnicodeToCodePage(TCodePage codePage, char16_t ch) {
    if (ch < 0x80) return static_cast<unsigned char>(ch);
    const TReverseTable& table = Reverse(codePage);
    const auto found = std::lower_bound(
        table.begin(), table.end(), ch,
        [](const TReverseEntry& entry, char16_t wanted) { return entry.Ch < wanted; });
    if (found == table.end() || found->Ch != ch) return std::nullopt;
    return found->Byte;
}

std::u16string BytesToUnicode(TCodePage codePage, std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    for (const char byte : bytes) text.push_back(CodePageToUnicode(codePage, static_cast<unsigned char>(byte)));
    return text;
}

std::optional<std::string> UnicodeToBytes(TCodePage codePage, std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (const char16_t ch : text) {
        const auto byte = UnicodeToCodePage(codePage, ch);
        if (!byte) return std::nullopt;
        bytes.push_back(static_cast<char>(*byte));
    }
    return bytes;
}
