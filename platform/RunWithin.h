#pragma once
// A blocking call that must not hold its caller past a deadline (resolving a
// host name can take the resolver's own time-outs, many seconds): it runs on
// a thread of its own, and the caller stops waiting at the deadline. The
// thread then finishes alone and its result is dropped when it is done.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace afp {

// The work's result, or nothing when the deadline came first. Throws
// std::system_error when no thread can be started.
template <class Result, class Work>
std::optional<Result> RunWithin(std::chrono::steady_clock::time_point deadline, Work work) {
    struct TShared {
        std::mutex Lock;
        std::condition_variable Done;
        std::optional<Result> Value;
    };
    auto shared = std::make_shared<TShared>();
    std::thread([shared, work = std::move(work)]() mutable {
        Result value = work();
        std::lock_guard guard(shared->Lock);
        shared->Value = std::move(value);
        shared->Done.notify_all();
    }).detach();
    std::unique_lock guard(shared->Lock);
    if (!shared->Done.wait_until(guard, deadline, [&] { return shared->Value.has_value(); })) return std::nullopt;
    return std::move(shared->Value);
}

}  // namespace afp
