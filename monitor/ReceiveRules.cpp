#include "monitor/ReceiveRules.h"

namespace {

bool Hidden(TDisplayMode mode, std::uint8_t byte) { return mode == dmAscii && byte < 32 && byte != 10; }

// One byte through the upper view's append routine: shown, or only counted.
void Show(std::string& text, TDisplayMode mode, std::uint8_t byte, std::string_view separator) {
    if (Hidden(mode, byte)) return;
    AppendByteText(text, mode, byte);
    text.append(separator);
}

bool LineEndShownAsValue(const TViewRules& rules) { return !rules.AplyChecked && rules.AplyEnabled; }

}  // namespace

void AppendByteText(std::string& text, TDisplayMode mode, std::uint8_t byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    switch (mode) {
        case dmDecimal:
            text.push_back(static_cast<char>('0' + byte / 100));
            text.push_back(static_cast<char>('0' + byte / 10 % 10));
            text.push_back(static_cast<char>('0' + byte % 10));
            break;
        case dmHex:
            text.push_back(digits[byte >> 4]);
            text.push_back(digits[byte & 0x0F]);
            break;
        case dmAscii:
            text.push_back(static_cast<char>(byte));
            break;
    }
}

TBatchText RenderPort1(std::string_view bytes, const TViewRules& rules) {
    TBatchText batch;
    batch.Text.reserve(bytes.size() * (3 + rules.Separator.size()));
    batch.Counted = static_cast<std::int32_t>(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte != 10 || LineEndShownAsValue(rules))
            Show(batch.Text, rules.Mode, byte, rules.Separator);
        else
            batch.Text.push_back('\n');
    }
    return batch;
}

TBatchText RenderPort2(std::string_view bytes, const TViewRules& rules) {
    TBatchText batch;
    batch.Text.reserve(bytes.size() * (3 + rules.Separator.size()));
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if ((byte != 10 && byte != 13) || LineEndShownAsValue(rules)) {
            Show(batch.Text, rules.Mode, byte, rules.Separator);
            ++batch.Counted;
        } else if (byte == 10) {
            batch.Text.push_back('\n');
        }
    }
    return batch;
}

std::string RenderSent(std::uint8_t byte, const TViewRules& rules) {
    std::string text;
    if (Hidden(rules.Mode, byte)) return text;
    TDisplayMode mode = rules.Mode;
    if (rules.AplyChecked && rules.AplyEnabled && (byte == 13 || byte == 10)) mode = dmAscii;
    if (mode == dmAscii && byte == 13) return text;
    AppendByteText(text, mode, byte);
    text.append(rules.Separator);
    return text;
}
