#pragma once
// Time stamps in the views: where they go and how they read.
//
// A view that stamps starts a new line with "[hh:mm:ss.mmm] " (local time of
// the burst's arrival, platform/ArrivalTime.h) before the first bytes after
// stamping was switched on or the view cleared, whenever the bytes come from
// another source than the ones before (port 1's after port 2's), and when a
// source's bytes come more than the gap after its previous ones. Bytes keep
// their display rules (ReceiveRules.h) and their counts; a stamp only adds
// its own text and, when the view's last line is not empty, the line break
// before it. The stamp is text of the view like any other, so a saved
// capture holds it.
//
// Plain logic; local time comes from Qt Core. Each object belongs to one
// thread.

#include "monitor/ReceiveRules.h"
#include "platform/ArrivalTime.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Writes arrival times as local clock times. It remembers the text of the
// latest second, so a flood of times costs one local-time conversion a
// second.
class TClockText {
public:
    // Appends "hh:mm:ss.mmm".
    void AppendTime(std::string& text, afp::TArrivalTime time);
    // "yyyy-mm-dd".
    std::string Date(afp::TArrivalTime time);

private:
    std::int64_t second_ = -1;
    char hms_[8] = {};
};

// "[hh:mm:ss.mmm] "
std::string StampText(TClockText& clock, afp::TArrivalTime time);

// Decides which bursts of a view get a stamp.
class TStamper {
public:
    explicit TStamper(std::int32_t gapMs) : gapUs_(std::int64_t{gapMs} * 1000) {}
    void SetGap(std::int32_t gapMs) { gapUs_ = std::int64_t{gapMs} * 1000; }
    // The next burst gets a stamp, whatever its source and time.
    void Reset() { source_ = NoSource; }
    // Takes note of a burst of source (any number the view chooses) that
    // arrived at time; true when a stamp goes before it.
    bool Take(int source, afp::TArrivalTime time);

private:
    static constexpr int NoSource = -1;
    std::int64_t gapUs_;
    int source_ = NoSource;
    afp::TArrivalTime last_ = 0;
};

// What one poll of a port adds to the upper view with stamps, in order: a
// stamp piece (the line break before it included) or a piece of the port's
// text. Counted is what RenderPort1/RenderPort2 count for the bytes.
struct TStampedPiece {
    std::string Text;
    bool Stamp = false;
};
struct TStampedBatch {
    std::vector<TStampedPiece> Pieces;
    std::int32_t Counted = 0;
};

// Port 1's (port 1) or port 2's bytes of one poll, chunks telling when each
// run arrived. atLineStart: the view's text is empty or ends with a line
// break. As with RenderPort1, only the newest textLimit characters or so are
// made: older pieces, which the view would drop at once, are left out (their
// bytes are still counted and the stamper still sees their times).
TStampedBatch RenderStamped(int port, std::string_view bytes, const afp::TArrivalChunks& chunks,
                            const TViewRules& rules, TStamper& stamper, TClockText& clock, bool atLineStart,
                            std::size_t textLimit = NoTextLimit);
