#include "platform/ArrivalTime.h"

#include <chrono>
#include <utility>

namespace afp {

TArrivalTime ArrivalNow() {
    using namespace std::chrono;
    // Read once, by the first caller: later changes of the calendar clock
    // must not make a later arrival look earlier.
    static const auto anchor = std::pair{system_clock::now(), steady_clock::now()};
    const auto sinceEpoch = anchor.first.time_since_epoch() + (steady_clock::now() - anchor.second);
    return duration_cast<microseconds>(sinceEpoch).count();
}

}  // namespace afp
