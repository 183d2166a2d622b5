// The script reader on arbitrary file bytes, line by line as the player goes:
// the split into lines, command and data lines, the markers, the delay and
// user byte arguments, words, digits and the path helpers. Each result is
// compared with a plain restatement of its rule.

#include "fuzz/FuzzCheck.h"
#include "text/ScriptFormat.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// A script's lines: up to the first zero byte; CR LF, CR and LF each end a
// line; a line end at the very end makes no extra line.
std::vector<std::string> ExpectedLines(std::string_view bytes) {
    const std::string_view text = bytes.substr(0, bytes.find('\0'));
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            open = false;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            current += c;
            open = true;
        }
    }
    if (open) lines.push_back(current);
    return lines;
}

std::vector<std::string> ExpectedWords(std::string_view text) {
    std::vector<std::string> words;
    std::string current;
    for (const char c : text) {
        if (c != ' ') {
            current += c;
        } else if (!current.empty()) {
            words.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) words.push_back(current);
    return words;
}

bool IsDecimal(char c) { return c >= '0' && c <= '9'; }

// 0-15 for the digits HexValue counts, 0 for every other character.
std::uint32_t CountedHexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
    return 0;
}

// Wrapping modulo 2^32 keeps only the last eight characters' digits.
std::int32_t ExpectedHexValue(std::string_view text) {
    std::uint32_t value = 0;
    const std::size_t from = text.size() > 8 ? text.size() - 8 : 0;
    for (std::size_t i = from; i < text.size(); ++i)
        value |= CountedHexDigit(text[i]) << (4 * (text.size() - 1 - i));
    return static_cast<std::int32_t>(value);
}

void CheckWordsAndDigits(std::string_view line) {
    // The first words (the ones scripts use), the last one and one past it:
    // every word would make long lines cost quadratic time.
    const std::vector<std::string> words = ExpectedWords(line);
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, words.size(),
                                words.size() + 1}) {
        const std::string word = NthWord(static_cast<int>(n), line);
        FUZZ_CHECK(word == (n >= 1 && n <= words.size() ? words[n - 1] : std::string()));
    }
    FUZZ_CHECK(NthWord(-1, line).empty());

    std::string digits;
    std::copy_if(line.begin(), line.end(), std::back_inserter(digits), IsDecimal);
    FUZZ_CHECK(DigitsOf(line) == digits);
    FUZZ_CHECK(HexValue(line) == ExpectedHexValue(line));
}

void CheckMarker(std::string_view line) {
    static constexpr std::array<std::pair<std::string_view, TScriptMarker>, 7> words = {{
        {"%%ASCII%%", TScriptMarker::Ascii},
        {"%%HEX%%", TScriptMarker::Hex},
        {"%%DEC%%", TScriptMarker::Dec},
        {"%%DELAY", TScriptMarker::Delay},
        {"%%CR%%", TScriptMarker::CR},
        {"%%LF%%", TScriptMarker::LF},
        {"%%USER_DEF", TScriptMarker::UserDef},
    }};
    // A command line starts with "%%", so its first word starts the line.
    const std::string_view first = line.substr(0, line.find(' '));
    TScriptMarker expected = TScriptMarker::Unknown;
    for (const auto& [word, marker] : words)
        if (first == word) expected = marker;
    FUZZ_CHECK(MarkerOf(line) == expected);
}

void CheckDelay(std::string_view line) {
    std::string digits;
    std::copy_if(line.begin(), line.end(), std::back_inserter(digits), IsDecimal);
    const std::size_t significant = std::min(digits.find_first_not_of('0'), digits.size());
    const std::string_view number = std::string_view(digits).substr(significant);
    const bool fits = !digits.empty() && (number.size() < 10 || (number.size() == 10 && number <= "2147483647"));
    try {
        const std::int32_t milliseconds = DelayMilliseconds(line);
        FUZZ_CHECK(fits);
        FUZZ_CHECK(milliseconds >= 0);
        FUZZ_CHECK(std::to_string(milliseconds) == (number.empty() ? std::string("0") : std::string(number)));
    } catch (const EConvertError& error) {
        FUZZ_CHECK(!fits);
        FUZZ_CHECK(std::string(error.what()) == "'" + digits + "' is not a valid integer value");
    }
}

void CheckUserByte(std::string_view line) {
    const std::vector<std::string> words = ExpectedWords(line);
    std::string value = words.size() >= 2 ? words[1] : std::string();
    if (value.size() >= 2) value.resize(value.size() - 2);
    // The low byte is the last two counted digits.
    std::uint32_t expected = 0;
    if (!value.empty()) expected = CountedHexDigit(value.back());
    if (value.size() >= 2) expected |= CountedHexDigit(value[value.size() - 2]) << 4;
    FUZZ_CHECK(UserDefByte(line) == expected);
}

void CheckDataLine(std::string_view line) {
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        const bool decimal = IsDecimal(c);
        const bool hex = decimal || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        FUZZ_CHECK(UsedInFormat(TInputFormat::Ascii, byte));
        FUZZ_CHECK(UsedInFormat(TInputFormat::Hex, byte) == hex);
        FUZZ_CHECK(UsedInFormat(TInputFormat::Dec, byte) == decimal);
    }
}

// The separator is the last "/" or "\", else the last ":"; the folder keeps
// its last 255 characters; a lone leading "/" is the root.
template <typename TChar>
void CheckPath(std::basic_string_view<TChar> path) {
    using TString = std::basic_string<TChar>;
    const TString folder = FolderOfPath(path);
    const TString name = NameOfPath(path);
    std::size_t separator = TString::npos;
    for (std::size_t i = 0; i < path.size(); ++i)
        if (path[i] == TChar('/') || path[i] == TChar('\\')) separator = i;
    if (separator == TString::npos)
        for (std::size_t i = 0; i < path.size(); ++i)
            if (path[i] == TChar(':')) separator = i;
    if (separator == TString::npos) {
        FUZZ_CHECK(folder.empty());
        FUZZ_CHECK(name == path);
        return;
    }
    FUZZ_CHECK(name == path.substr(separator + 1));
    if (separator == 0 && path[0] == TChar('/')) {
        FUZZ_CHECK(folder == TString(1, TChar('/')));
    } else {
        const std::size_t kept = std::min<std::size_t>(separator, 255);
        FUZZ_CHECK(folder == path.substr(separator - kept, kept));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = SplitScriptLines(bytes);
    FUZZ_CHECK(lines == ExpectedLines(bytes));

    std::size_t joined = 0;
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
        joined += line.size();
    }
    FUZZ_CHECK(joined <= size);

    for (const std::string& line : lines) {
        CheckWordsAndDigits(line);
        CheckPath(std::string_view(line));
        std::u16string wide;
        for (const char c : line) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
        CheckPath(std::u16string_view(wide));
        // The player reads arguments of its markers' lines only, but the
        // readers take any line.
        CheckDelay(line);
        CheckUserByte(line);
        const bool command = line.size() >= 2 && line.starts_with("%%") && line.ends_with("%%");
        FUZZ_CHECK(IsCommandLine(line) == command);
        if (command)
            CheckMarker(line);
        else
            CheckDataLine(line);
    }
    return 0;
}
