#pragma once
// The two single-byte character sets Kalvaro shows and writes text in:
// Windows code page 1250 (Central European: the upper view, scripts) and
// 1252 (Western: the lower view). Bytes 0x00-0x7F are ASCII in both.
//
// Windows leaves a few bytes of 0x80-0x9F without a character (1250: 0x81,
// 0x83, 0x88, 0x90, 0x98; 1252: 0x81, 0x8D, 0x8F, 0x90, 0x9D). They map to the
// C1 control of the same number (U+0080 + n), as Windows' own conversion does,
// so every byte survives a trip to text and back unchanged.
//
// Plain functions over constant tables: thread-safe, no allocation except in
// the string helpers, nothing throws but std::bad_alloc.

#include <optional>
#include <string>
#include <string_view>

enum class TCodePage { Cp1250, Cp1252 };

char16_t CodePageToUnicode(TCodePage codePage, unsigned char byte);
// The byte that shows ch in this code page; nullopt when the page has no such
// character.
std::optional<unsigned char> UnicodeToCodePage(TCodePage codePage, char16_t ch);

std::u16string BytesToUnicode(TCodePage codePage, std::string_view bytes);
// nullopt as soon as one character is not in the page.
std::optional<std::string> UnicodeToBytes(TCodePage codePage, std::u16string_view text);
