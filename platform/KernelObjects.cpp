#include "platform/KernelObjects.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace afp {

// One lock for every event in the process keeps wait-for-any simple and free
// of lock-order problems; events are few and their operations are short.
namespace {
std::mutex& KernelLock() {
    static std::mutex lock;
    return lock;
}
}  // namespace

struct TWaiter {
    std::condition_variable Wake;
};

TKernelEvent::TKernelEvent(bool manualReset, bool initiallySignalled) : state_(manualReset, initiallySignalled) {}

TKernelEvent::~TKernelEvent() = default;

void TKernelEvent::Set() {
    std::lock_guard guard(KernelLock());
    state_.Signalled = true;
    for (TWaiter* waiter : state_.Waiters) waiter->Wake.notify_one();
}

void TKernelEvent::Reset() {
    std::lock_guard guard(KernelLock());
    state_.Signalled = false;
}

bool TKernelEvent::IsSignalled() const {
    std::lock_guard guard(KernelLock());
    return state_.Signalled;
}

DWORD WaitForAny(std::span<TKernelEvent* const> events, DWORD timeoutMs) {
    if (events.empty() || std::find(events.begin(), events.end(), nullptr) != events.end()) return WAIT_FAILED;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock guard(KernelLock());
    TWaiter waiter;
    bool registered = false;
    auto unregister = [&] {
        if (!registered) return;
        for (TKernelEvent* event : events) {
            auto& list = event->state_.Waiters;
            list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
        }
        registered = false;
    };

    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            TKernelEvent* event = events[i];
            if (!event->state_.Signalled) continue;
            if (!event->state_.ManualReset) event->state_.Signalled = false;
            unregister();
            return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
        if (timeoutMs == 0 || (timeoutMs != INFINITE && std::chrono::steady_clock::now() >= deadline)) {
            unregister();
            return WAIT_TIMEOUT;
        }
        if (!registered) {
            for (TKernelEvent* event : events) event->state_.Waiters.push_back(&waiter);
            registered = true;
        }
        if (timeoutMs == INFINITE)
            waiter.Wake.wait(guard);
        else
            waiter.Wake.wait_until(guard, deadline);
    }
}

}  // namespace afp
