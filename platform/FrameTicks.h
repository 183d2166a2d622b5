#pragma once
// The rhythm in which received bytes are handed on while a line trickles: a
// tick every FrameTick on the monotonic clock, about a display frame. A
// device that holds bytes back reads at a tick, and an event thread that
// pauses after arrivals ends the pause at one, so both ports hand over at
// the same moment and a window takes both in one go, once a frame.
//
// Thread rule: any thread.

#include <chrono>

namespace afp {

using TFrameClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds FrameTick{15};

// The first tick after at.
inline TFrameClock::time_point NextFrameTick(TFrameClock::time_point at) {
    const auto ticks = at.time_since_epoch() / FrameTick;
    return TFrameClock::time_point(std::chrono::duration_cast<TFrameClock::duration>((ticks + 1) * FrameTick));
}

}  // namespace afp
