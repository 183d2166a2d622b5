#pragma once
// The script file ("*.cpo") as the editor writes it and the player reads it:
// the marker texts, the reading of a file's bytes into lines, the sorting of
// lines into command and data lines, the markers' arguments, and the word,
// digit and path helpers both sides use.
//
// A script is single-byte text in code page 1250; every function here takes
// and gives bytes, one character per byte, and accepts any byte value.
// Plain functions without state: thread-safe. Only DelayMilliseconds throws
// (EConvertError); the rest throw nothing but std::bad_alloc.

#include "text/ValueConversion.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The lines the editor inserts. The delay and user byte lines are the start
// below, then the user's text, then MarkerEnd.
inline constexpr std::string_view MarkerAscii = "%%ASCII%%";
inline constexpr std::string_view MarkerHex = "%%HEX%%";
inline constexpr std::string_view MarkerDec = "%%DEC%%";
inline constexpr std::string_view MarkerCR = "%%CR%%";
inline constexpr std::string_view MarkerLF = "%%LF%%";
inline constexpr std::string_view MarkerDelay = "%%DELAY ";
inline constexpr std::string_view MarkerUserDef = "%%USER_DEF ";
inline constexpr std::string_view MarkerEnd = "%%";
// Written by the editor's line-end menus; the player skips them.
inline constexpr std::string_view MarkerLfOn = "%%LF ON%%";
inline constexpr std::string_view MarkerLfOff = "%%LF OFF%%";
inline constexpr std::string_view MarkerCrOn = "%%CR ON%%";
inline constexpr std::string_view MarkerCrOff = "%%CR OFF%%";

// The player's words for the two markers with an argument: the editor's
// start without its blank, the blank being the word separator.
inline constexpr std::string_view WordDelay = MarkerDelay.substr(0, MarkerDelay.size() - 1);
inline constexpr std::string_view WordUserDef = MarkerUserDef.substr(0, MarkerUserDef.size() - 1);

// "%%DELAY " + delayText + "%%" and "%%USER_DEF " + valueText + "%%".
std::string DelayLine(std::string_view delayText);
std::string UserDefLine(std::string_view valueText);

// The n-th word (from 1) of the text. Words are separated by runs of blanks
// (32 only: a tab belongs to its word); blanks in front are skipped. Empty
// when the text has fewer than n words or n < 1.
std::string NthWord(int n, std::string_view text);

// The decimal digits 0-9 of the text in their order, every other character
// dropped; empty when there are none (an empty text, or one of blanks and
// control characters only, included).
std::string DigitsOf(std::string_view text);

// A command line begins with "%%" and ends with "%%", exactly as it stands
// (no blank is stripped). "%%" alone is one; a line of one character is not.
bool IsCommandLine(std::string_view line);

enum class TScriptMarker { Ascii, Hex, Dec, Delay, CR, LF, UserDef, Unknown };

// The marker named by the line's first word, compared exactly, with case:
// "%%ASCII%%", "%%HEX%%", "%%DEC%%", "%%DELAY", "%%CR%%", "%%LF%%",
// "%%USER_DEF"; Unknown for any other word. Only the first word counts, so
// callers sort out data lines with IsCommandLine first.
TScriptMarker MarkerOf(std::string_view commandLine);

// The delay of a "%%DELAY" line: StrToInt of DigitsOf(line). Raises
// EConvertError quoting the digits found (possibly none) when there are none
// or they make a number beyond 2147483647.
std::int32_t DelayMilliseconds(std::string_view line);

// The byte of a "%%USER_DEF" line: the second word, without its last two
// characters when it has at least two, read by HexValue; its low 8 bits.
std::uint8_t UserDefByte(std::string_view line);

// Whether a data line's character is fed to the input box in this format:
// Hex 0-9, A-F, a-f; Dec 0-9; Ascii every character.
bool UsedInFormat(TInputFormat format, unsigned char c);

// A script file's bytes as lines. The text ends at the first zero byte.
// CR LF, a lone CR and a lone LF each end a line, and none of them is part of
// a line; a line end at the very end makes no extra empty line. Every other
// byte, 0x80-0xFF included, is one character of its line.
std::vector<std::string> SplitScriptLines(std::string_view fileBytes);

// The folder and the name of a path. The separator is the last "/" or "\"
// (whichever comes later); when there is neither, the last ":". FolderOfPath
// gives the text before it, keeping only its last 255 characters, except that
// a path whose only separator is a leading "/" gives "/" (the root, which as
// an empty text would be lost); it is empty when the path has no separator.
// NameOfPath gives the text after the separator, or the whole path when it
// has none. Characters are the string's units: pass a Unicode path as UTF-16.
std::string FolderOfPath(std::string_view path);
std::string NameOfPath(std::string_view path);
std::u16string FolderOfPath(std::u16string_view path);
std::u16string NameOfPath(std::u16string_view path);
