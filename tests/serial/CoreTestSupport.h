#pragma once
// Helpers for the port core's tests: a core wired to a far end that the test
// drives (the other end of a virtual null-modem pair, or the master of a pty
// pair), and a log of the events the core raises on its event thread.

#include "platform/CommBackends.h"
#include "platform/VirtualCommDevice.h"
#include "serial/AfComPortCore.h"
#include "tests/platform/DeviceFixtures.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TestEnvironment.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace kalvaro::test {

struct TLoggedEvent {
    TAfCoreEvent Kind;
    DWORD Data;
    std::exception_ptr Error;
};

// Collects what a core raises, from its event thread.
class TCoreEventLog {
public:
    void Attach(TAfComPortCore& core) {
        core.CoreEventHandler = [this](TAfComPortCore*, TAfCoreEvent kind, DWORD data, std::exception_ptr error) {
            {
                std::lock_guard guard(lock_);
                events_.push_back({kind, data, error});
            }
            changed_.notify_all();
            if (throwOnEvent_.load() && kind == ckCommEvent) throw EAfSerialError("handler failed");
        };
    }
    std::vector<TLoggedEvent> Events() const {
        std::lock_guard guard(lock_);
        return events_;
    }
    std::size_t Count(TAfCoreEvent kind) const {
        std::lock_guard guard(lock_);
        std::size_t n = 0;
        for (const auto& event : events_) n += event.Kind == kind;
        return n;
    }
    // Waits for an event of this kind whose data has all the given bits.
    bool WaitFor(TAfCoreEvent kind, DWORD bits = 0, milliseconds limit = ShortLimit) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, [&] {
            for (const auto& event : events_)
                if (event.Kind == kind && (event.Data & bits) == bits) return true;
            return false;
        });
    }
    void Clear() {
        std::lock_guard guard(lock_);
        events_.clear();
    }
    void ThrowOnCommEvents(bool on) { throwOnEvent_ = on; }

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<TLoggedEvent> events_;
    std::atomic<bool> throwOnEvent_{false};
};

inline double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A fresh virtual pair name for each use, so tests never share a cable.
inline std::string FreshPairName(const std::string& stem) {
    static std::atomic<int> serial{0};
    return stem + std::to_string(serial++);
}

// Maps COM numbers in the isolated settings file.
inline void MapPorts(const std::vector<std::pair<int, std::string>>& ports) {
    std::string text = "[Ports]\nScan=0\nDemoPair=0\n";
    for (const auto& [number, device] : ports) text += "COM" + std::to_string(number) + "=" + device + "\n";
    WriteSettings(text);
}

}  // namespace kalvaro::test
