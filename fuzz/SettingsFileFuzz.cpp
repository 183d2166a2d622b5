// The settings file's text operations on arbitrary files: reading any key,
// writing one key and reading it back, with every other key left as it read
// before; and the monitor's value forms (integers, wrapped separators) carried
// through a write and a read.
//
// Input: a section, a key and a value (libFuzzer's length-prefixed strings),
// a number, then the file's text.

#include "fuzz/FuzzCheck.h"
#include "monitor/MonitorSettings.h"
#include "platform/Profile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace {

using afp::ProfileLookup;
using afp::ProfileReplace;
using afp::ProfileSectionKeys;
using TKeys = std::vector<std::pair<std::string, std::string>>;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// What a read gives for a written value: the value up to a line break, without
// the blanks around it and one pair of enclosing quotes, cut to the limit.
std::string ReadBack(std::string_view written) {
    std::string_view value = Trim(written.substr(0, written.find_first_of("\r\n")));
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\''))
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, afp::ProfileValueLimit));
}

// Names a file line can carry and give back as they are: one line, no blanks
// around them, and for a key nothing that makes its line a comment, a section
// or a different key.
bool IsSectionName(std::string_view name) { return name.find('\n') == std::string_view::npos && Trim(name) == name; }

bool IsKeyName(std::string_view name) {
    return IsSectionName(name) && name.find_first_of("=\r") == std::string_view::npos && !name.starts_with(';') &&
           !name.starts_with('[');
}

// Every name in brackets that starts a line: enough to find each section the
// file may hold (a name that is none reads as no keys before and after).
std::vector<std::string> BracketNames(std::string_view text) {
    std::vector<std::string> names;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = Trim(text.substr(at, end - at));
        if (const std::size_t close = line.rfind(']'); line.starts_with('[') && close != std::string_view::npos)
            names.emplace_back(Trim(line.substr(1, close - 1)));
        at = end + 1;
    }
    return names;
}

void CheckWrite(std::string_view text, const std::string& section, const std::string& key, std::string_view value) {
    const std::string written = ProfileReplace(text, section, key, value);
    FUZZ_CHECK(ProfileLookup(written, section, key) == ReadBack(value));
    // Writing the same value again changes nothing.
    FUZZ_CHECK(ProfileReplace(written, section, key, value) == written);

    std::vector<std::string> sections = BracketNames(text);
    sections.push_back(section);
    for (const std::string& name : sections) {
        TKeys expected = ProfileSectionKeys(text, name);
        if (Lower(name) == Lower(section)) {
            bool replaced = false;
            for (auto& [oldKey, oldValue] : expected)
                if (Lower(oldKey) == Lower(key)) {
                    oldValue = ReadBack(value);
                    replaced = true;
                }
            if (!replaced) expected.emplace_back(key, ReadBack(value));
        }
        FUZZ_CHECK(ProfileSectionKeys(written, name) == expected);
    }
}

// The integer forms read: "0x"/"0X" and hex digits when longer than two
// characters, else an optionally signed decimal number or "$" and hex digits.
std::optional<std::int32_t> ExpectedInteger(std::string_view text) {
    const auto parse = [](std::string_view digits, int base, std::uint64_t limit) -> std::optional<std::uint64_t> {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value > limit)
            return std::nullopt;
        return value;
    };
    if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) {
        const auto value = parse(text.substr(2), 16, 0xFFFFFFFFu);
        if (!value) return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(*value));
    }
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    if (text.starts_with('$')) {
        const auto value = parse(text.substr(1), 16, 0xFFFFFFFFu);
        if (!value) return std::nullopt;
        const auto pattern = static_cast<std::uint32_t>(*value);
        return static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
    }
    const auto value = parse(text, 10, negative ? 2147483648u : 2147483647u);
    if (!value) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(*value) : static_cast<std::int64_t>(*value));
}

void CheckMonitorForms(std::string_view text, std::string_view value, std::int32_t number) {
    const std::int32_t fallback = ~number;
    const std::optional<std::int32_t> expected = ExpectedInteger(value);
    FUZZ_CHECK(ProfileIntegerValue(value, fallback) == expected.value_or(fallback));

    // A colour is written in decimal and reads back whatever the file held.
    const std::string colours = ProfileReplace(text, "ComPort1", "Color", std::to_string(number));
    FUZZ_CHECK(ProfileIntegerValue(ProfileLookup(colours, "ComPort1", "Color").value_or(""), fallback) == number);

    // The x's around a separator keep its blanks and quotes; one that fits
    // the read limit comes back whole.
    const std::string separator(value.substr(0, value.find_first_of("\r\n")));
    FUZZ_CHECK(UnwrapSeparator(WrapSeparator(separator)) == separator);
    const std::string separators = ProfileReplace(text, "ComPort3", "Sep1", WrapSeparator(separator));
    const std::string stored = ProfileLookup(separators, "ComPort3", "Sep1").value_or("");
    if (separator.size() + 2 <= afp::ProfileValueLimit)
        FUZZ_CHECK(UnwrapSeparator(stored) == separator);
    else
        FUZZ_CHECK(stored.size() == afp::ProfileValueLimit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string section = input.ConsumeRandomLengthString(32);
    const std::string key = input.ConsumeRandomLengthString(32);
    std::string value = input.ConsumeRandomLengthString(256);
    // Values past the read limit without inputs of that size.
    const unsigned repeat = input.ConsumeIntegral<std::uint8_t>() >> 3;
    const std::string piece = value;
    for (unsigned i = 1; i < repeat && value.size() < 4096; ++i) value += piece;
    const auto number = input.ConsumeIntegral<std::int32_t>();
    const std::string text = input.ConsumeRemainingBytesAsString();

    const std::optional<std::string> found = ProfileLookup(text, section, key);
    if (found) {
        FUZZ_CHECK(found->size() <= afp::ProfileValueLimit);
        FUZZ_CHECK(found->find('\n') == std::string::npos);
    }
    for (const auto& [name, keyValue] : ProfileSectionKeys(text, section)) {
        FUZZ_CHECK(ProfileLookup(text, section, name) == keyValue);
    }

    if (IsSectionName(section) && IsKeyName(key)) CheckWrite(text, section, key, value);
    CheckMonitorForms(text, value, number);
    return 0;
}
