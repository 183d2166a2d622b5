#include "monitor/MonitorSettings.h"

#include "platform/Profile.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

std::optional<std::uint32_t> HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return static_cast<std::uint32_t>(ch - '0');
    if (ch >= 'A' && ch <= 'F') return static_cast<std::uint32_t>(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'f') return static_cast<std::uint32_t>(ch - 'a' + 10);
    return std::nullopt;
}

// Hexadecimal may fill all 32 bits ("$FFFFFFFF" is -1); a decimal number must
// fit the signed range.
std::optional<std::int32_t> ParseInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const bool hex = !text.empty() && text.front() == '$';
    if (hex) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;

    std::uint64_t value = 0;
    const std::uint64_t limit =
        hex ? 0xFFFFFFFFull : static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) + negative;
    for (char ch : text) {
        std::optional<std::uint32_t> digit;
        if (hex)
            digit = HexDigit(ch);
        else if (ch >= '0' && ch <= '9')
            digit = static_cast<std::uint32_t>(ch - '0');
        if (!digit) return std::nullopt;
        value = value * (hex ? 16 : 10) + *digit;
        if (value > limit) return std::nullopt;
    }
    const auto bits = static_cast<std::uint32_t>(negative ? 0 - value : value);
    return static_cast<std::int32_t>(bits);
}

constexpr char SessionSection[] = "Kalvaro";

void AppendSessionEntries(std::vector<afp::TProfileEntry>& entries, const TSessionOptions& session,
                          const std::string& fileName) {
    const TSessionOptions defaults;
    const auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    const std::pair<afp::TProfileEntry, bool> keys[] = {
        {{SessionSection, "Stamps", flag(session.Stamps)}, session.Stamps != defaults.Stamps},
        {{SessionSection, "SentStamps", flag(session.SentStamps)}, session.SentStamps != defaults.SentStamps},
        {{SessionSection, "StampGap", std::to_string(session.StampGapMs)}, session.StampGapMs != defaults.StampGapMs},
        {{SessionSection, "LogRaw", flag(session.LogRaw)}, session.LogRaw != defaults.LogRaw},
        {{SessionSection, "LogPath", session.LogPath}, session.LogPath != defaults.LogPath},
    };
    const std::string text = afp::ProfileText(fileName);
    for (const auto& [entry, changed] : keys)
        if (changed || afp::ProfileLookup(text, SessionSection, entry.Key)) entries.push_back(entry);
}

}  // namespace

std::int32_t ProfileIntegerValue(std::string_view text, std::int32_t defaultValue) {
    std::string form(text);
    if (form.size() > 2 && form[0] == '0' && (form[1] == 'x' || form[1] == 'X')) form = "$" + form.substr(2);
    return ParseInteger(form).value_or(defaultValue);
}

std::string WrapSeparator(std::string_view separator) { return "x" + std::string(separator) + "x"; }

std::string UnwrapSeparator(std::string stored) {
    if (!stored.empty()) stored.erase(0, 1);
    if (!stored.empty()) stored.pop_back();
    return stored;
}

std::int32_t ReadProfileInteger(const std::string& section, const std::string& key, std::int32_t defaultValue,
                                const std::string& fileName) {
    return ProfileIntegerValue(afp::GetPrivateProfileString(section, key, "", fileName), defaultValue);
}

TMonitorSettings ReadMonitorSettings(const std::string& fileName) {
    TMonitorSettings settings;
    settings.Port1Color = ReadProfileInteger("ComPort1", "Color", settings.Port1Color, fileName);
    settings.Port2Color = ReadProfileInteger("ComPort2", "Color", settings.Port2Color, fileName);
    settings.SentColor = ReadProfileInteger("ComPort3", "Color", settings.SentColor, fileName);
    settings.Sep1 = UnwrapSeparator(afp::GetPrivateProfileString("ComPort3", "Sep1", "", fileName));
    settings.Sep2 = UnwrapSeparator(afp::GetPrivateProfileString("ComPort3", "Sep2", "", fileName));
    settings.EditPath = afp::GetPrivateProfileString("ComPort3", "EditPath", "", fileName);
    settings.EditFile = afp::GetPrivateProfileString("ComPort3", "EditFile", "", fileName);
    settings.LoadPath = afp::GetPrivateProfileString("ComPort3", "LoadPath", "", fileName);
    settings.LoadFile = afp::GetPrivateProfileString("ComPort3", "LoadFile", "", fileName);
    TSessionOptions& session = settings.Session;
    session.Stamps = ReadProfileInteger(SessionSection, "Stamps", 0, fileName) != 0;
    session.SentStamps = ReadProfileInteger(SessionSection, "SentStamps", 0, fileName) != 0;
    session.StampGapMs = std::clamp(ReadProfileInteger(SessionSection, "StampGap", session.StampGapMs, fileName),
                                    MinStampGapMs, MaxStampGapMs);
    session.LogRaw = ReadProfileInteger(SessionSection, "LogRaw", 0, fileName) != 0;
    session.LogPath = afp::GetPrivateProfileString(SessionSection, "LogPath", "", fileName);
    return settings;
}

void WriteMonitorSettings(const TMonitorSettings& settings, const std::string& fileName) {
    std::vector<afp::TProfileEntry> entries = {
        {"ComPort1", "Color", std::to_string(settings.Port1Color)},
        {"ComPort2", "Color", std::to_string(settings.Port2Color)},
        {"ComPort3", "Color", std::to_string(settings.SentColor)},
        {"ComPort3", "Sep1", WrapSeparator(settings.Sep1)},
        {"ComPort3", "Sep2", WrapSeparator(settings.Sep2)},
        {"ComPort3", "EditPath", settings.EditPath},
        {"ComPort3", "EditFile", settings.EditFile},
        {"ComPort3", "LoadPath", settings.LoadPath},
        {"ComPort3", "LoadFile", settings.LoadFile},
        {"ComPort3", "UserCaption", settings.UserCaption},
        {"ComPort3", "UserHint", settings.UserHint},
        {"ComPort3", "UserOut", settings.UserOut},
    };
    AppendSessionEntries(entries, settings.Session, fileName);
    if (!afp::WritePrivateProfileStrings(entries, fileName)) throw std::runtime_error("Unable to write to " + fileName);
}
