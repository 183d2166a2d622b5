#pragma once
// Turning the input box's text into bytes: the hexadecimal and decimal
// readings of a value, its low byte, the upper-casing of typed hex digits and
// the cutting of an Enter-mode line into groups. The box and the script player
// share these, so a typed value and a scripted one give the same byte.
//
// Text is taken as bytes in code page 1250, one character per byte; any byte
// value is accepted anywhere. Plain functions without state: thread-safe.
// Only StrToInt and ValueByte throw EConvertError; the rest throw nothing but
// std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The input box's value formats. Each has its group size: how many
// characters make one value.
enum class TInputFormat { Ascii, Hex, Dec };

// A text that does not read as an integer. The message is
// "'<text>' is not a valid integer value" with the text exactly as given.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// The lenient hexadecimal reading: from 0, each character multiplies by 16,
// then adds 0-9 for "0"-"9" and 10-15 for the capitals "A"-"F"; every other
// character, small letters included, adds nothing. Wraps modulo 2^32; an
// empty text gives 0. Never fails.
std::int32_t HexValue(std::string_view text);

// The strict integer reading of the input box's Dec values and the script
// delays. Accepted, with nothing after the last digit (trailing blanks
// included):
//   - blanks (32 only) in front;
//   - then an optional "+" or "-";
//   - then either decimal digits, whose value must lie in -2147483648 ..
//     2147483647,
//   - or one of the prefixes "$", "x", "X", "0x", "0X" and hexadecimal digits
//     (either case) making a 32-bit pattern, at most 0xFFFFFFFF, taken as a
//     two's-complement integer ("$FFFFFFFF" is -1); a "-" in front negates
//     it, wrapping ("-$80000000" is -2147483648).
// Leading zeros are allowed in any number. Anything else, the empty text, a
// lone sign or prefix and every value out of range raise EConvertError.
std::int32_t StrToInt(std::string_view text);

// The byte sent for a value: its low 8 bits (256 -> 0, 300 -> 44, -12 -> 244).
std::uint8_t LowByte(std::int32_t value);

// The HEX format's upper-casing of a typed character (a code page 1250
// byte): a-z and the 22 small letters ü é ď ä č ě ĺ ľ ž ô ö ů ý ť á í ó ú ň
// š ř ŕ become their capitals; every other byte, other small letters of the
// code page included (ą ł ś ß ...), comes back unchanged.
unsigned char UpCaseChar(unsigned char c);

// The characters that make one value: Ascii 1, Hex 2, Dec 3.
std::size_t GroupSize(TInputFormat format);

// The text cut from the left into groups of groupSize characters; the last
// group may be shorter. An empty text gives no group; a group size of 0 is
// taken as 1.
std::vector<std::string> CutGroups(std::string_view text, std::size_t groupSize);

// The byte of one group: Ascii the code of its first character (0 for an
// empty group), Hex HexValue, Dec StrToInt (raises EConvertError); then its
// low 8 bits.
std::uint8_t ValueByte(TInputFormat format, std::string_view group);
