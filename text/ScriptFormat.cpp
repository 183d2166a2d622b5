#include "text/ScriptFormat.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::size_t MaxFolderLength = 255;

struct TMarkerWord {
    std::string_view Word;
    TScriptMarker Marker;
};

constexpr std::array<TMarkerWord, 7> MarkerWords = {{
    {MarkerAscii, TScriptMarker::Ascii},
    {MarkerHex, TScriptMarker::Hex},
    {MarkerDec, TScriptMarker::Dec},
    {WordDelay, TScriptMarker::Delay},
    {MarkerCR, TScriptMarker::CR},
    {MarkerLF, TScriptMarker::LF},
    {WordUserDef, TScriptMarker::UserDef},
}};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Where the folder ends and the name begins: the last slash or backslash,
// else the last colon; npos when the path has none.
template <typename TChar>
std::size_t SeparatorOf(std::basic_string_view<TChar> path) {
    constexpr TChar separators[] = {TChar('/'), TChar('\\'), TChar(0)};
    const std::size_t slash = path.find_last_of(separators);
    if (slash != std::basic_string_view<TChar>::npos) return slash;
    return path.rfind(TChar(':'));
}

template <typename TChar>
std::basic_string<TChar> FolderOf(std::basic_string_view<TChar> path) {
    const std::size_t at = SeparatorOf(path);
    if (at == std::basic_string_view<TChar>::npos) return {};
    if (at == 0 && path[0] == TChar('/')) return std::basic_string<TChar>(1, TChar('/'));
    std::basic_string_view<TChar> folder = path.substr(0, at);
    if (folder.size() > MaxFolderLength) folder.remove_prefix(folder.size() - MaxFolderLength);
    return std::basic_string<TChar>(folder);
}

template <typename TChar>
std::basic_string<TChar> NameOf(std::basic_string_view<TChar> path) {
    const std::size_t at = SeparatorOf(path);
    if (at == std::basic_string_view<TChar>::npos) return std::basic_string<TChar>(path);
    return std::basic_string<TChar>(path.substr(at + 1));
}

}  // namespace

std::string DelayLine(std::string_view delayText) {
    std::string line(MarkerDelay);
    line += delayText;
    line += MarkerEnd;
    return line;
}

std::string UserDefLine(std::string_view valueText) {
    std::string line(MarkerUserDef);
    line += valueText;
    line += MarkerEnd;
    return line;
}

std::string NthWord(int n, std::string_view text) {
    if (n < 1) return {};
    std::size_t at = 0;
    for (int word = 1;; ++word) {
        at = text.find_first_not_of(' ', at);
        if (at == std::string_view::npos) return {};
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (word == n) return std::string(text.substr(at, end - at));
        at = end;
    }
}

std::string DigitsOf(std::string_view text) {
    std::string digits;
    for (const char c : text)
        if (IsDigit(c)) digits += c;
    return digits;
}

bool IsCommandLine(std::string_view line) {
    return line.size() >= 2 && line.starts_with(MarkerEnd) && line.ends_with(MarkerEnd);
}

TScriptMarker MarkerOf(std::string_view commandLine) {
    const std::string word = NthWord(1, commandLine);
    for (const TMarkerWord& marker : MarkerWords)
        if (word == marker.Word) return marker.Marker;
    return TScriptMarker::Unknown;
}

std::int32_t DelayMilliseconds(std::string_view line) { return StrToInt(DigitsOf(line)); }

std::uint8_t UserDefByte(std::string_view line) {
    std::string value = NthWord(2, line);
    if (value.size() >= 2) value.resize(value.size() - 2);
    return LowByte(HexValue(value));
}

bool UsedInFormat(TInputFormat format, unsigned char c) {
    switch (format) {
    case TInputFormat::Ascii: return true;
    case TInputFormat::Hex: return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    case TInputFormat::Dec: return c >= '0' && c <= '9';
    }
    return false;
}

std::vector<std::string> SplitScriptLines(std::string_view fileBytes) {
    const std::size_t length = std::min(fileBytes.find('\0'), fileBytes.size());
    const char* const text = fileBytes.data();
    // Script files can be large; memchr finds each kind of line end fast, and
    // keeping the next one of each kind keeps the scan linear.
    const auto next = [text, length](std::size_t from, char c) {
        const void* found = from < length ? std::memchr(text + from, c, length - from) : nullptr;
        return found ? static_cast<std::size_t>(static_cast<const char*>(found) - text) : length;
    };
    std::vector<std::string> lines;
    std::size_t nextCR = next(0, '\r');
    std::size_t nextLF = next(0, '\n');
    std::size_t at = 0;
    while (at < length) {
        if (nextCR < at) nextCR = next(at, '\r');
        if (nextLF < at) nextLF = next(at, '\n');
        const std::size_t end = std::min(nextCR, nextLF);
        lines.emplace_back(text + at, end - at);
        if (end == length) break;
        at = end + 1;
        if (text[end] == '\r' && at < length && text[at] == '\n') ++at;
    }
    return lines;
}

std::string FolderOfPath(std::string_view path) { return FolderOf(path); }
std::string NameOfPath(std::string_view path) { return NameOf(path); }
std::u16string FolderOfPath(std::u16string_view path) { return FolderOf(path); }
std::u16string NameOfPath(std::u16string_view path) { return NameOf(path); }
