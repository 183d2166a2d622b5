// Events, wait-for-any and the recursive lock: the Win32 semantics the
// serial engine's threads are written against.
#include "platform/KernelObjects.h"

#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using afp::TKernelEvent;
using afp::WaitForAny;
using afp::WaitForEvent;
using kalvaro::test::TestThreadId;
using kalvaro::test::ThreadIsAsleep;
using namespace std::chrono_literals;

constexpr bool Manual = true;
constexpr bool Auto = false;

// Waits until every thread named has published its id and is asleep, so a
// Set() that follows exercises the wake-up path rather than the fast path.
bool AllAsleep(const std::vector<std::atomic<std::int64_t>>& tids, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        bool asleep = true;
        for (const auto& tid : tids) asleep = asleep && tid.load() != 0 && ThreadIsAsleep(tid.load());
        if (asleep) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

TEST(KernelEvent, ManualResetStaysSignalledUntilReset) {
    TKernelEvent event(Manual);
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_FALSE(WaitForEvent(event, 0));

    event.Set();
    EXPECT_TRUE(WaitForEvent(event, 0));
    EXPECT_TRUE(WaitForEvent(event, 0));
    EXPECT_TRUE(event.IsSignalled());

    event.Reset();
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_FALSE(WaitForEvent(event, 0));

    TKernelEvent initiallySet(Manual, true);
    EXPECT_TRUE(WaitForEvent(initiallySet, 0));
    EXPECT_TRUE(initiallySet.IsSignalled());
}

TEST(KernelEvent, AutoResetIsConsumedByTheWaitItReleases) {
    TKernelEvent event(Auto);
    event.Set();
    event.Set();  // setting twice still releases one wait
    EXPECT_TRUE(WaitForEvent(event, 0));
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_FALSE(WaitForEvent(event, 0));

    TKernelEvent initiallySet(Auto, true);
    EXPECT_TRUE(WaitForEvent(initiallySet, 0));
    EXPECT_FALSE(WaitForEvent(initiallySet, 0));

    event.Set();
    event.Reset();
    EXPECT_FALSE(WaitForEvent(event, 0));
}

TEST(WaitForAny, ReturnsFirstSignalledInListOrderAndConsumesOnlyIt) {
    TKernelEvent first(Auto), second(Auto), third(Auto);
    second.Set();
    third.Set();
    EXPECT_EQ(WaitForAny({&first, &second, &third}, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(first.IsSignalled());
    EXPECT_FALSE(second.IsSignalled());
    EXPECT_TRUE(third.IsSignalled());
    EXPECT_EQ(WaitForAny({&first, &second, &third}, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForAny({&first, &second, &third}, 0), WAIT_TIMEOUT);

    // A signalled manual-reset event ahead in the list hides the auto-reset
    // one behind it, which therefore keeps its signal.
    TKernelEvent manual(Manual), behind(Auto);
    manual.Set();
    behind.Set();
    EXPECT_EQ(WaitForAny({&manual, &behind}, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForAny({&manual, &behind}, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(manual.IsSignalled());
    EXPECT_TRUE(behind.IsSignalled());
    EXPECT_EQ(WaitForAny({&behind, &manual}, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(behind.IsSignalled());
}

TEST(WaitForAny, TimesOutAfterTheLimitAndZeroOnlyLooks) {
    TKernelEvent event(Auto), other(Manual);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForAny({&event, &other}, 60), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);

    EXPECT_EQ(WaitForAny({&event, &other}, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(WaitForEvent(event, 0));

    // The timed-out waits must have left nothing behind in the events.
    event.Set();
    other.Set();
    EXPECT_EQ(WaitForAny({&event}, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForAny({&event, &other}, 0), WAIT_OBJECT_0 + 1);
}

TEST(WaitForAny, InfiniteWaitWakesWhenAnotherThreadSets) {
    TKernelEvent first(Auto), second(Auto);
    std::vector<std::atomic<std::int64_t>> tids(1);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] {
        tids[0] = TestThreadId();
        result = WaitForAny({&first, &second}, INFINITE);
    });
    EXPECT_TRUE(AllAsleep(tids, 10s));
    second.Set();
    // The wait has no limit; the test has one.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (result.load() == WAIT_FAILED && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    if (result.load() == WAIT_FAILED)
        kalvaro::test::EndStuckRun("WaitForAny(INFINITE) did not wake when its event was set");
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(second.IsSignalled());
    EXPECT_FALSE(first.IsSignalled());
}

TEST(WaitForAny, ManualEventReleasesEveryWaiter) {
    constexpr int Waiters = 8;
    TKernelEvent event(Manual);
    std::vector<std::atomic<std::int64_t>> tids(Waiters);
    std::array<std::atomic<DWORD>, Waiters> results;
    for (auto& result : results) result = WAIT_FAILED;
    std::vector<std::thread> threads;
    for (int i = 0; i < Waiters; ++i)
        threads.emplace_back([&, i] {
            tids[i] = TestThreadId();
            results[i] = WaitForAny({&event}, 20000);
        });
    EXPECT_TRUE(AllAsleep(tids, 10s));
    event.Set();
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < Waiters; ++i) EXPECT_EQ(results[i].load(), WAIT_OBJECT_0) << "waiter " << i;
    EXPECT_TRUE(event.IsSignalled());
}

TEST(WaitForAny, AutoEventSetOnceReleasesExactlyOneOfTwoWaiters) {
    TKernelEvent event(Auto);
    std::vector<std::atomic<std::int64_t>> tids(2);
    std::array<std::atomic<DWORD>, 2> results{WAIT_FAILED, WAIT_FAILED};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&, i] {
            tids[i] = TestThreadId();
            results[i] = WaitForAny({&event}, 1500);
        });
    EXPECT_TRUE(AllAsleep(tids, 10s));
    event.Set();
    for (auto& thread : threads) thread.join();
    int released = 0, timedOut = 0;
    for (const auto& result : results) {
        released += result.load() == WAIT_OBJECT_0;
        timedOut += result.load() == WAIT_TIMEOUT;
    }
    EXPECT_EQ(released, 1);
    EXPECT_EQ(timedOut, 1);
    EXPECT_FALSE(event.IsSignalled());
}

TEST(WaitForAny, EmptyListOrNullEntryFails) {
    TKernelEvent event(Auto, true);
    EXPECT_EQ(WaitForAny(std::span<TKernelEvent* const>{}, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForAny(std::span<TKernelEvent* const>{}, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForAny({&event, nullptr}, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForAny({nullptr, &event}, 0), WAIT_FAILED);
    // A refused wait consumes nothing.
    EXPECT_TRUE(event.IsSignalled());
}

TEST(WaitForAny, PingPongLosesNoWakeUp) {
    constexpr int Rounds = 10000;
    TKernelEvent ping(Auto), pong(Auto);
    std::atomic<int> answered{0};
    std::thread partner([&] {
        for (int i = 0; i < Rounds; ++i) {
            if (!WaitForEvent(ping, 20000)) return;
            ++answered;
            pong.Set();
        }
    });
    int completed = 0;
    for (int i = 0; i < Rounds; ++i) {
        ping.Set();
        if (!WaitForEvent(pong, 20000)) break;
        ++completed;
    }
    partner.join();
    EXPECT_EQ(completed, Rounds);
    EXPECT_EQ(answered.load(), Rounds);
    EXPECT_FALSE(ping.IsSignalled());
    EXPECT_FALSE(pong.IsSignalled());
}

TEST(RecursiveLock, HolderMayReenterOthersWaitForTheLastUnlock) {
    afp::TRecursiveLock lock;
    auto othersCanTake = [&] {
        return std::async(std::launch::async,
                          [&] {
                              const bool taken = lock.try_lock();
                              if (taken) lock.unlock();
                              return taken;
                          })
            .get();
    };
    lock.lock();
    ASSERT_TRUE(lock.try_lock());  // re-entered, as a handler calling back into the engine does
    EXPECT_FALSE(othersCanTake());
    lock.unlock();
    EXPECT_FALSE(othersCanTake());
    lock.unlock();
    EXPECT_TRUE(othersCanTake());
}

}  // namespace
