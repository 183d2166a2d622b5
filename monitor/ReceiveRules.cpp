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

namespace {

// What one port's rule does with one byte.
enum class TPlacement { Value, LineBreak, Nothing };

TPlacement Port1Placement(std::uint8_t byte, const TViewRules& rules) {
    return byte != 10 || LineEndShownAsValue(rules) ? TPlacement::Value : TPlacement::LineBreak;
}

TPlacement Port2Placement(std::uint8_t byte, const TViewRules& rules) {
    if ((byte != 10 && byte != 13) || LineEndShownAsValue(rules)) return TPlacement::Value;
    return byte == 10 ? TPlacement::LineBreak : TPlacement::Nothing;
}

std::size_t ValueWidth(TDisplayMode mode) { return mode == dmDecimal ? 3 : mode == dmHex ? 2 : 1; }

template <class Placement>
TBatchText Render(std::string_view bytes, const TViewRules& rules, std::size_t textLimit, Placement placement) {
    const auto sizeOf = [&](std::uint8_t byte) -> std::size_t {
        switch (placement(byte, rules)) {
            case TPlacement::Value:
                return Hidden(rules.Mode, byte) ? 0 : ValueWidth(rules.Mode) + rules.Separator.size();
            case TPlacement::LineBreak:
                return 1;
            case TPlacement::Nothing:
                break;
        }
        return 0;
    };
    // Only the bytes whose text reaches into the newest textLimit
    // characters are rendered; the first of them may be cut.
    std::size_t first = bytes.size();
    std::size_t size = 0;
    while (first > 0 && size < textLimit) size += sizeOf(static_cast<std::uint8_t>(bytes[--first]));

    TBatchText batch;
    batch.Text.reserve(size);
    for (std::size_t i = first; i < bytes.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(bytes[i]);
        switch (placement(byte, rules)) {
            case TPlacement::Value:
                Show(batch.Text, rules.Mode, byte, rules.Separator);
                break;
            case TPlacement::LineBreak:
                batch.Text.push_back('\n');
                break;
            case TPlacement::Nothing:
                break;
        }
    }
    if (batch.Text.size() > textLimit) batch.Text.erase(0, batch.Text.size() - textLimit);
    return batch;
}

}  // namespace

TBatchText RenderPort1(std::string_view bytes, const TViewRules& rules, std::size_t textLimit) {
    TBatchText batch = Render(bytes, rules, textLimit, Port1Placement);
    batch.Counted = static_cast<std::int32_t>(bytes.size());
    return batch;
}

TBatchText RenderPort2(std::string_view bytes, const TViewRules& rules, std::size_t textLimit) {
    TBatchText batch = Render(bytes, rules, textLimit, Port2Placement);
    // Only the bytes shown as values (or hidden in their place) count.
    for (const char c : bytes)
        batch.Counted += Port2Placement(static_cast<std::uint8_t>(c), rules) == TPlacement::Value;
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
