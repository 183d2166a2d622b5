#include "platform/Trace.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>

namespace afp {

namespace {

using TClock = std::chrono::steady_clock;

const TClock::time_point started = TClock::now();

std::mutex writeLock;  // one line at a time on standard error
std::atomic<unsigned> threadsSeen{0};

constexpr unsigned AllAreas = static_cast<unsigned>(TTraceArea::Platform) | static_cast<unsigned>(TTraceArea::Serial) |
                              static_cast<unsigned>(TTraceArea::Monitor);

unsigned AreasFrom(std::string_view list) {
    unsigned areas = 0;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view word = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
        while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
        if (word == "all") areas |= AllAreas;
        if (word == "platform") areas |= static_cast<unsigned>(TTraceArea::Platform);
        if (word == "serial") areas |= static_cast<unsigned>(TTraceArea::Serial);
        if (word == "monitor") areas |= static_cast<unsigned>(TTraceArea::Monitor);
    }
    return areas;
}

const char* AreaName(TTraceArea area) {
    switch (area) {
        case TTraceArea::Platform: return "platform";
        case TTraceArea::Serial: return "serial";
        case TTraceArea::Monitor: return "monitor";
    }
    return "?";
}

// The codes the device layer reports; any other is traced by number alone.
const char* Win32ErrorName(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return "ERROR_SUCCESS";
        case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
        case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
        case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
        case ERROR_BAD_COMMAND: return "ERROR_BAD_COMMAND";
        case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
        case ERROR_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
        case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
        case ERROR_OPERATION_ABORTED: return "ERROR_OPERATION_ABORTED";
        case ERROR_IO_INCOMPLETE: return "ERROR_IO_INCOMPLETE";
        case ERROR_IO_PENDING: return "ERROR_IO_PENDING";
        default: return nullptr;
    }
}

}  // namespace

void SetTraceAreas(std::string_view areas) {
    detail::traceAreas.store(AreasFrom(areas), std::memory_order_relaxed);
}

void TraceAppend(std::string& line, std::string_view text) { line += text; }

void TraceAppend(std::string& line, long long number) {
    char digits[24];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

void TraceAppend(std::string& line, unsigned long long number) {
    char digits[24];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

void TraceAppend(std::string& line, THex number) {
    char digits[24];
    line += "0x";
    line.append(digits, std::to_chars(digits, digits + sizeof digits, number.Value, 16).ptr);
}

void TraceAppend(std::string& line, TErrno error) {
    line += "errno ";
    TraceAppend(line, error.Value);
    line += " (" + std::generic_category().message(error.Value) + ")";
}

void TraceAppend(std::string& line, TWin32Error error) {
    if (const char* name = Win32ErrorName(error.Value)) {
        line += name;
        line += " (";
        TraceAppend(line, error.Value);
        line += ")";
    } else {
        line += "error ";
        TraceAppend(line, error.Value);
    }
}

void TraceAppend(std::string& line, const DCB& dcb) {
    static constexpr char parities[] = "NOEMS";
    static constexpr const char* stopBits[] = {"1", "1.5", "2"};
    TraceAppend(line, dcb.BaudRate);
    line += ' ';
    TraceAppend(line, dcb.ByteSize);
    line += dcb.Parity < sizeof parities - 1 ? parities[dcb.Parity] : '?';
    line += dcb.StopBits < 3 ? stopBits[dcb.StopBits] : "?";
    line += ", flags ";
    TraceAppend(line, THex{DcbFlags(dcb)});
    line += ", xon ";
    TraceAppend(line, THex{static_cast<unsigned char>(dcb.XonChar)});
    line += " xoff ";
    TraceAppend(line, THex{static_cast<unsigned char>(dcb.XoffChar)});
}

namespace detail {

bool TraceWanted(TTraceArea area) {
    unsigned areas = traceAreas.load(std::memory_order_relaxed);
    if (areas == TraceUnread) {
        const char* variable = std::getenv("KALVARO_TRACE");
        const unsigned wanted = AreasFrom(variable ? variable : "");
        // A test may have set the areas meanwhile; its choice stands.
        if (traceAreas.compare_exchange_strong(areas, wanted, std::memory_order_relaxed)) areas = wanted;
    }
    return (areas & static_cast<unsigned>(area)) != 0;
}

void WriteTraceLine(TTraceArea area, const std::string& text) {
    thread_local const unsigned thread = ++threadsSeen;
    const double seconds = std::chrono::duration<double>(TClock::now() - started).count();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "[%12.6f] t%u %s: ", seconds, thread, AreaName(area));
    const std::string line = stamp + text + '\n';
    std::lock_guard guard(writeLock);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace detail

}  // namespace afp
