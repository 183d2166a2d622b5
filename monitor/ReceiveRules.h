#pragma once
// How the monitor turns bytes into view text: the text of one byte in a
// display mode, and the rules by which port 1's and port 2's bytes reach the
// upper view and sent bytes reach the lower view (which bytes are shown, as
// what, with or without the separator, and which are counted).
//
// The rules are applied to a whole batch at once (everything one poll read
// from a port); the result is exactly what handling the bytes one at a time
// would have appended and counted, except that a batch keeps only the newest
// textLimit characters of its text. A view keeps a bounded history and drops
// the oldest text anyway; a batch that did not would grow with the
// separator's length (up to 2047 characters from the settings file) times
// the bytes read, hundreds of megabytes, only to be dropped. Counts always
// cover every byte. Plain functions, no state.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

// How a view shows one byte.
enum TDisplayMode : int {
    dmDecimal = 0,  // three digits with leading zeros, "000" to "255"
    dmHex = 1,      // two upper-case digits, "00" to "FF"
    dmAscii = 2,    // the byte itself; a line feed starts a new line
};

// The settings a view's append rules read for every byte.
struct TViewRules {
    TDisplayMode Mode = dmAscii;
    // The view's "Aply" box: checked, and enabled (only in HEX and Decimal).
    bool AplyChecked = false;
    bool AplyEnabled = false;
    std::string_view Separator;
};

// What a batch adds to a view and to its port's count.
struct TBatchText {
    std::string Text;
    std::int32_t Counted = 0;
};

// Appends the text of one byte to text.
void AppendByteText(std::string& text, TDisplayMode mode, std::uint8_t byte);

inline constexpr std::size_t NoTextLimit = std::numeric_limits<std::size_t>::max();

// Port 1's bytes in the upper view: every byte is counted; a line feed is a
// new line without separator unless "Aply LF" is unchecked in HEX/Decimal.
// The text is at most textLimit characters: the end of the whole text.
TBatchText RenderPort1(std::string_view bytes, const TViewRules& rules, std::size_t textLimit = NoTextLimit);

// Port 2's bytes in the upper view: carriage returns and line feeds turned
// into a line break or dropped are not counted. Text limited as above.
TBatchText RenderPort2(std::string_view bytes, const TViewRules& rules, std::size_t textLimit = NoTextLimit);

// One sent byte in the lower view (its count is always 1): "Aply CR,LF" in
// force shows CR and LF in ASCII, where a CR leaves no trace.
std::string RenderSent(std::uint8_t byte, const TViewRules& rules);
