// Finding text in a monitor view. See MonitorView.h for the contract.
#include "widgets/MonitorView.h"

#include <QScrollBar>

#include <algorithm>
#include <climits>

bool TMonitorView::EndInSight() const {
    return static_cast<long long>(FirstVisibleLine()) + VisibleLines() >= LineCount();
}

void TMonitorView::SetHeld(bool held) {
    if (held == Holding) return;
    Holding = held;
    emit HeldChanged(held);
}

std::optional<std::size_t> TMonitorView::FindFrom(const QString& needle, std::size_t from, bool forward,
                                                  bool matchCase) const {
    const auto length = static_cast<std::size_t>(needle.size());
    if (length == 0 || length > Text.size()) return std::nullopt;
    const std::array<QChar, 256>& shown = matchCase ? Glyphs : FoldedGlyphs;
    const QString wanted = matchCase ? needle : needle.toLower();
    // The bytes that show as the needle's first character: one table look-up
    // per byte decides most places.
    std::array<bool, 256> starts{};
    for (int byte = 0; byte < 256; ++byte) starts[byte] = shown[byte] == wanted[0];
    const auto* bytes = reinterpret_cast<const unsigned char*>(Text.data());
    const auto matchesAt = [&](std::size_t at) {
        if (!starts[bytes[at]]) return false;
        for (std::size_t k = 1; k < length; ++k)
            if (shown[bytes[at + k]] != wanted[static_cast<qsizetype>(k)]) return false;
        return true;
    };
    const std::size_t last = Text.size() - length;  // the last place a match can start
    from = std::min(from, Text.size());
    if (forward) {
        for (std::size_t at = from; at <= last; ++at)
            if (matchesAt(at)) return at;
        for (std::size_t at = 0; at < std::min(from, last + 1); ++at)
            if (matchesAt(at)) return at;
    } else {
        for (std::size_t at = std::min(from, last + 1); at-- > 0;)
            if (matchesAt(at)) return at;
        for (std::size_t at = last + 1; at-- > from;)
            if (matchesAt(at)) return at;
    }
    return std::nullopt;
}

bool TMonitorView::FindNext(const QString& needle, bool forward, bool matchCase) {
    const std::size_t start = SelectionStart();
    const std::size_t from = forward ? (SelectionEnd() > start ? start + 1 : start) : start;
    const std::optional<std::size_t> found = FindFrom(needle, from, forward, matchCase);
    if (!found) return false;
    Select(*found, *found + static_cast<std::size_t>(needle.size()));
    // The match's row second from the top, unless it is in sight already
    // above the find bar, which covers the last rows.
    const auto row = static_cast<long long>(RowOf(*found));
    const long long first = FirstVisibleLine();
    if (row < first || row >= first + VisibleLines() - 2)
        verticalScrollBar()->setValue(static_cast<int>(std::clamp<long long>(row - 1, 0, INT_MAX)));
    SetHeld(!EndInSight());
    return true;
}
