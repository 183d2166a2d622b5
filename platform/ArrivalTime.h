#pragma once
// When received bytes arrived: the moment a backend took them off the line,
// which travels with the bytes through the input queue, the port core and
// the component to the windows. It is taken there and not when the windows
// poll, so a window that is busy for a while shows every burst at its own
// time, and the two ports' bytes can be put in the order they came.
//
// A time is microseconds since the Unix epoch (1970-01-01 00:00 UTC), on a
// clock anchored once to the system's calendar clock and then run by the
// monotonic clock: it never goes back and does not jump when the calendar
// clock is set, so times of one run compare and subtract exactly (a gap of
// 20 ms is 20 000) and still read as the time of day. A run of many hours
// may drift from the calendar clock by what it was set or slewed meanwhile.
//
// Cost: one monotonic clock read. Thread rule: any thread.

#include <cstdint>
#include <vector>

namespace afp {

using TArrivalTime = std::int64_t;

// Now, on the arrival clock.
TArrivalTime ArrivalNow();

// A run of bytes that arrived together, oldest run first in a list.
struct TArrivalChunk {
    std::uint32_t Count;
    TArrivalTime Time;
};
using TArrivalChunks = std::vector<TArrivalChunk>;

}  // namespace afp
