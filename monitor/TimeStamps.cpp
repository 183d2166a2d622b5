#include "monitor/TimeStamps.h"

#include <QDateTime>
#include <QTime>

#include <algorithm>

namespace {

constexpr std::int64_t MicrosecondsPerSecond = 1000000;

void AppendTwoDigits(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
}

// Times before the epoch do not occur; floor division keeps them sane anyway.
std::int64_t SecondOf(afp::TArrivalTime time) {
    return time >= 0 ? time / MicrosecondsPerSecond : (time + 1) / MicrosecondsPerSecond - 1;
}

}  // namespace

void TClockText::AppendTime(std::string& text, afp::TArrivalTime time) {
    const std::int64_t second = SecondOf(time);
    if (second != second_) {
        const QTime local = QDateTime::fromSecsSinceEpoch(second).time();
        AppendTwoDigits(hms_, local.hour());
        hms_[2] = ':';
        AppendTwoDigits(hms_ + 3, local.minute());
        hms_[5] = ':';
        AppendTwoDigits(hms_ + 6, local.second());
        second_ = second;
    }
    const auto millisecond = static_cast<int>((time - second * MicrosecondsPerSecond) / 1000);
    char tail[4] = {'.', static_cast<char>('0' + millisecond / 100), 0, 0};
    AppendTwoDigits(tail + 2, millisecond % 100);
    text.append(hms_, sizeof hms_);
    text.append(tail, sizeof tail);
}

std::string TClockText::Date(afp::TArrivalTime time) {
    return QDateTime::fromSecsSinceEpoch(SecondOf(time)).date().toString(Qt::ISODate).toStdString();
}

std::string StampText(TClockText& clock, afp::TArrivalTime time) {
    std::string text = "[";
    clock.AppendTime(text, time);
    text += "] ";
    return text;
}

bool TStamper::Take(int source, afp::TArrivalTime time) {
    const bool stamp = source != source_ || time - last_ > gapUs_;
    source_ = source;
    last_ = time;
    return stamp;
}

TStampedBatch RenderStamped(int port, std::string_view bytes, const afp::TArrivalChunks& chunks,
                            const TViewRules& rules, TStamper& stamper, TClockText& clock, bool atLineStart,
                            std::size_t textLimit) {
    // The bytes between two stamps render as one piece, as a poll without
    // stamps would render them.
    struct TSegment {
        std::size_t From;
        std::size_t Count;
        bool Stamped;
        afp::TArrivalTime Time;
        std::string Text;
        bool Kept;
    };
    std::vector<TSegment> segments;
    std::size_t at = 0;
    for (const afp::TArrivalChunk& chunk : chunks) {
        const std::size_t count = std::min<std::size_t>(chunk.Count, bytes.size() - at);
        if (count == 0) continue;
        const bool stamped = stamper.Take(port, chunk.Time);
        if (stamped || segments.empty()) segments.push_back({at, 0, stamped, chunk.Time, {}, false});
        segments.back().Count += count;
        at += count;
    }
    if (at < bytes.size()) {
        // Bytes the chunks did not cover join the last burst.
        if (segments.empty()) segments.push_back({0, 0, false, 0, {}, false});
        segments.back().Count += bytes.size() - at;
    }

    TStampedBatch batch;
    // Newest first, until the text would pass the limit.
    std::size_t room = textLimit;
    for (std::size_t i = segments.size(); i-- > 0;) {
        TSegment& segment = segments[i];
        const std::string_view part = bytes.substr(segment.From, segment.Count);
        TBatchText text = port == 1 ? RenderPort1(part, rules, room) : RenderPort2(part, rules, room);
        batch.Counted += text.Counted;
        segment.Kept = room > 0;
        room -= std::min(room, text.Text.size());
        segment.Text = std::move(text.Text);
    }
    for (TSegment& segment : segments) {
        if (!segment.Kept) continue;
        if (segment.Stamped) {
            TStampedPiece stamp{atLineStart ? std::string() : std::string("\n"), true};
            stamp.Text += StampText(clock, segment.Time);
            batch.Pieces.push_back(std::move(stamp));
            atLineStart = false;
        }
        if (segment.Text.empty()) continue;
        atLineStart = segment.Text.back() == '\n';
        batch.Pieces.push_back({std::move(segment.Text), false});
    }
    return batch;
}
