#pragma once
// A trace for bug reports: what the platform was asked and what the system
// answered (with its own error numbers), what the serial engine made of it,
// and which ports the windows opened and probed.
//
// Off by default. The environment variable KALVARO_TRACE switches areas on:
// a comma-separated list of "platform" (port map, device backends, lock
// files), "serial" (the port core and its threads) and "monitor" (the port
// component and chooser as the windows use them), or "all"; unknown words
// are ignored. Each event then writes one line to standard error, stamped
// with seconds on the monotonic clock since the program started and a small
// number for the thread that traced it:
//     [    0.012345] t1 platform: open /dev/ttyUSB0: open() failed, errno 13 (Permission denied) -> ...
//
// Cost when off: Trace() is one load of a cached bit mask and one branch
// (the mask starts with every bit set, so the first check of any area goes
// out of line and reads the variable); its arguments are formatted only
// when the area is on. Pass them as they are: strings, numbers, THex,
// TErrno, TWin32Error, DCB; other types join by declaring a
// TraceAppend(std::string&, const T&) beside them.
//
// Thread rule: every function may be called from any thread; each line
// reaches standard error whole, never mixed with another thread's line.

#include "platform/Win32Types.h"

#include <atomic>
#include <concepts>
#include <string>
#include <string_view>

namespace afp {

enum class TTraceArea : unsigned { Platform = 1, Serial = 2, Monitor = 4 };

// Switches the areas a KALVARO_TRACE value names, replacing what was on.
// Read from the environment at the first trace; tests call it themselves.
void SetTraceAreas(std::string_view areas);

// A number traced in hexadecimal ("0x1b9"), for bit masks.
struct THex {
    unsigned long long Value;
};
// An errno value, traced with the system's text for it.
struct TErrno {
    int Value;
};
// A Win32 error code as the device layer reports it, traced by its name.
struct TWin32Error {
    DWORD Value;
};

void TraceAppend(std::string& line, std::string_view text);
void TraceAppend(std::string& line, long long number);
void TraceAppend(std::string& line, unsigned long long number);
template <std::integral T>
void TraceAppend(std::string& line, T number) {
    if constexpr (std::signed_integral<T>)
        TraceAppend(line, static_cast<long long>(number));
    else
        TraceAppend(line, static_cast<unsigned long long>(number));
}
void TraceAppend(std::string& line, THex number);
void TraceAppend(std::string& line, TErrno error);
void TraceAppend(std::string& line, TWin32Error error);
// "115200 8N1, flags 0x1011, xon 0x11 xoff 0x13"
void TraceAppend(std::string& line, const DCB& dcb);

namespace detail {
// All bits set until the environment has been read.
inline constexpr unsigned TraceUnread = ~0u;
inline std::atomic<unsigned> traceAreas{TraceUnread};
// Whether area is on, reading the environment first if nobody has yet.
bool TraceWanted(TTraceArea area);
void WriteTraceLine(TTraceArea area, const std::string& text);
}  // namespace detail

inline bool TraceOn(TTraceArea area) {
    return (detail::traceAreas.load(std::memory_order_relaxed) & static_cast<unsigned>(area)) != 0 &&
           detail::TraceWanted(area);
}

// The parts joined as Trace() would write them, for callers that collect
// lines before deciding to trace them.
template <class... Parts>
std::string TraceText(const Parts&... parts) {
    std::string text;
    (TraceAppend(text, parts), ...);
    return text;
}

template <class... Parts>
void Trace(TTraceArea area, const Parts&... parts) {
    if (!TraceOn(area)) return;
    detail::WriteTraceLine(area, TraceText(parts...));
}

}  // namespace afp
