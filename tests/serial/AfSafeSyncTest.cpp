// The delivery of calls from worker threads to the GUI thread: the slot
// table's rules, time limits, failing handlers, and a GUI thread that waits
// for a worker which is itself waiting for the GUI thread.
#include "serial/AfSafeSync.h"

#include "serial/AfErrors.h"
#include "serial/AfGuiCalls.h"
#include "tests/serial/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

namespace kalvaro::test {
namespace {

using namespace std::chrono_literals;

// Slots taken by a test, given back when it ends (the table is process-wide).
class TSlots {
public:
    ~TSlots() {
        for (DWORD id : Ids) UnregisterSyncHandler(id);
    }
    DWORD Add(TAfSyncHandler handler) {
        const DWORD id = RegisterSyncHandler(std::move(handler));
        if (id != 0) Ids.push_back(id);
        return id;
    }
    std::vector<DWORD> Ids;
};

// CallSyncHandler from a worker thread while the GUI thread serves its loop.
bool CallFromWorker(DWORD id, DWORD limitMs) {
    std::atomic<int> result{-1};
    std::thread worker([&] { result = CallSyncHandler(id, limitMs) ? 1 : 0; });
    EXPECT_TRUE(PumpUntil([&] { return result.load() >= 0; }, LongLimit));
    worker.join();
    return result.load() == 1;
}

TEST(AfSafeSyncTest, IdsGrowByOneAndTheTableHoldsSixtyFourHandlers) {
    TSlots taken;
    // Every other test gives its slots back, so the whole table is free here.
    for (DWORD id = taken.Add([] {}); id != 0; id = taken.Add([] {})) ASSERT_LE(taken.Ids.size(), 64u);
    ASSERT_EQ(taken.Ids.size(), static_cast<std::size_t>(SyncSlotCount));
    const DWORD first = taken.Ids.front();
    EXPECT_NE(first, 0u);
    for (std::size_t i = 0; i < taken.Ids.size(); ++i) EXPECT_EQ(taken.Ids[i], first + i);
    EXPECT_EQ(RegisterSyncHandler([] {}), 0u) << "a 65th registration";

    // Freed taken are taken again, but under fresh ids.
    const DWORD last = taken.Ids.back();
    EXPECT_TRUE(UnregisterSyncHandler(taken.Ids[10]));
    EXPECT_TRUE(UnregisterSyncHandler(taken.Ids[3]));
    EXPECT_EQ(taken.Add([] {}), last + 1);
    EXPECT_EQ(taken.Add([] {}), last + 2);
    EXPECT_EQ(RegisterSyncHandler([] {}), 0u);

    // A freed id is gone for good; 0 never names a slot.
    EXPECT_FALSE(UnregisterSyncHandler(taken.Ids[10]));
    EXPECT_FALSE(EnableSyncHandler(taken.Ids[3], true));
    EXPECT_FALSE(UnregisterSyncHandler(0));
    EXPECT_FALSE(EnableSyncHandler(0, true));
}

TEST(AfSafeSyncTest, CallsReachOnlyEnabledSlotsAndRunOnTheGuiThread) {
    TSlots taken;
    int runs = 0;
    QThread* ranOn = nullptr;
    const DWORD id = taken.Add([&] {
        ++runs;
        ranOn = QThread::currentThread();
    });
    ASSERT_NE(id, 0u);

    EXPECT_FALSE(CallFromWorker(id, 5000)) << "a slot starts disabled";
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 0);

    EXPECT_TRUE(EnableSyncHandler(id, true));
    EXPECT_TRUE(CallFromWorker(id, 5000));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());

    EXPECT_TRUE(EnableSyncHandler(id, false));
    EXPECT_FALSE(CallFromWorker(id, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 1);

    EXPECT_TRUE(UnregisterSyncHandler(id));
    EXPECT_FALSE(UnregisterSyncHandler(id));
    EXPECT_FALSE(EnableSyncHandler(id, true));
    EXPECT_FALSE(CallFromWorker(id, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 1);
}

TEST(AfSafeSyncTest, CallsThatRunOutOfTimeAreNotWithdrawn) {
    TSlots taken;
    std::atomic<int> runs{0};
    std::atomic<bool> workerReturned{false};
    bool sawWorkerReturn = false;
    bool waitForWorker = true;
    const DWORD id = taken.Add([&] {
        if (waitForWorker) sawWorkerReturn = WaitUntil([&] { return workerReturned.load(); });
        ++runs;
    });
    ASSERT_TRUE(EnableSyncHandler(id, true));

    // A handler slower than the limit: the worker stops waiting and is told
    // that the slot is still live, while the handler goes on.
    std::atomic<int> result{-1};
    std::thread worker([&] {
        result = CallSyncHandler(id, 100) ? 1 : 0;
        workerReturned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return runs.load() == 1; }));
    worker.join();
    EXPECT_TRUE(sawWorkerReturn);
    EXPECT_EQ(result.load(), 1);

    // A GUI thread that is busy: the worker gives up, the call runs later.
    waitForWorker = false;
    bool late = false;
    std::thread(([&] { late = CallSyncHandler(id, 50); })).join();
    EXPECT_TRUE(late);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(PumpUntil([&] { return runs.load() == 2; }));

    // ... unless the slot was disabled before the GUI thread got to it.
    std::thread(([&] { late = CallSyncHandler(id, 50); })).join();
    EXPECT_TRUE(late);
    EXPECT_TRUE(EnableSyncHandler(id, false));
    QCoreApplication::processEvents();
    EXPECT_EQ(runs.load(), 2);
}

TEST(AfSafeSyncTest, AFailingHandlerIsReportedAndTheWorkerGoesOn) {
    TErrorBoxes boxes;
    TSlots taken;
    int runs = 0;
    const DWORD id = taken.Add([&] {
        ++runs;
        throw EAfComPortError("Handler failed");
    });
    ASSERT_TRUE(EnableSyncHandler(id, true));

    EXPECT_TRUE(CallFromWorker(id, 5000));
    EXPECT_TRUE(CallFromWorker(id, 5000));
    EXPECT_EQ(runs, 2);
    ASSERT_EQ(boxes.Texts.size(), 2);
    EXPECT_EQ(boxes.Texts[0], "Handler failed.");
    EXPECT_EQ(boxes.Captions[0], "Kalvaro");
}

// Closing a port: the GUI thread waits for a worker that is itself waiting
// in a delivery to the GUI thread. The wait serves the delivery.
TEST(AfSafeSyncTest, AGuiThreadWaitingForAWorkerServesItsDelivery) {
    TSlots taken;
    std::atomic<int> runs{0};
    std::atomic<QThread*> ranOn{nullptr};
    const DWORD id = taken.Add([&] {
        ++runs;
        ranOn = QThread::currentThread();
    });
    ASSERT_TRUE(EnableSyncHandler(id, true));

    for (const bool disableFirst : {false, true}) {
        SCOPED_TRACE(disableFirst ? "slot disabled before the wait" : "slot enabled");
        runs = 0;
        afp::TKernelEvent ended(true);
        std::atomic<int> result{-1};
        std::atomic<int> runsWhenReturned{-1};
        std::thread worker([&] {
            // Long enough that only a served call returns in time to count.
            result = CallSyncHandler(id, 20000) ? 1 : 0;
            runsWhenReturned = runs.load();
            ended.Set();
        });
        EXPECT_TRUE(afp::WaitForEvent(AfGuiCalls()->CallsPending(), 5000)) << "the worker's call never came";
        if (disableFirst) EnableSyncHandler(id, false);
        AfWaitForThreadEnd(ended);
        worker.join();
        if (disableFirst) {
            EXPECT_EQ(result.load(), 0);
            EXPECT_EQ(runsWhenReturned.load(), 0);
        } else {
            EXPECT_EQ(result.load(), 1);
            EXPECT_EQ(runsWhenReturned.load(), 1);
            EXPECT_EQ(ranOn.load(), QCoreApplication::instance()->thread());
        }
    }
    // The calls' own posted events are still queued; they find the calls taken.
    EnableSyncHandler(id, true);
    QCoreApplication::processEvents();
    EXPECT_EQ(runs.load(), 0) << "a served call ran a second time";
}

}  // namespace
}  // namespace kalvaro::test
