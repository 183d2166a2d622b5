// The port map's reading of the settings file's [Ports] section on arbitrary
// file text. Each named port and switch must be what the settings reader
// gives for its key, by the key and value rules of the port map.

#include "fuzz/FuzzCheck.h"
#include "platform/PortMap.h"
#include "platform/Profile.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// "COM1".."COM255" in any letter case, one spelling per number.
int ExpectedComNumber(std::string_view key) {
    const std::string lower = Lower(key);
    if (!lower.starts_with("com")) return 0;
    const std::string_view digits = std::string_view(lower).substr(3);
    if (digits.empty() || digits.front() == '0') return 0;
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    return number >= 1 && number <= 255 ? number : 0;
}

std::optional<bool> ExpectedSwitch(std::string_view value) {
    const std::string lower = Lower(value);
    if (lower == "1" || lower == "true" || lower == "yes" || lower == "on") return true;
    if (lower == "0" || lower == "false" || lower == "no" || lower == "off") return false;
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const afp::TPortMap::TNamedPorts ports = afp::TPortMap::ParsePortsSection(text);

    int previous = 0;
    for (const auto& [number, device] : ports.Named) {
        FUZZ_CHECK(number > previous && number <= 255);
        FUZZ_CHECK(!device.empty());
        FUZZ_CHECK(afp::ProfileLookup(text, "Ports", "COM" + std::to_string(number)) == device);
        previous = number;
    }

    std::size_t named = 0;
    for (const auto& [key, value] : afp::ProfileSectionKeys(text, "Ports")) {
        if (const int number = ExpectedComNumber(key); number > 0 && !value.empty()) {
            ++named;
            bool listed = false;
            for (const auto& entry : ports.Named) listed = listed || entry == std::pair{number, value};
            FUZZ_CHECK(listed);
        }
    }
    FUZZ_CHECK(named == ports.Named.size());

    const auto switchOf = [text](const char* key) {
        return ExpectedSwitch(afp::ProfileLookup(text, "Ports", key).value_or("")).value_or(true);
    };
    FUZZ_CHECK(ports.Scan == switchOf("Scan"));
    FUZZ_CHECK(ports.DemoPair == switchOf("DemoPair"));
    return 0;
}
