#pragma once
// The two worker threads of an open port core.
//
// The event thread waits for comm events, notices input left waiting (every
// 200 ms without events while any waits) and output that has drained, and
// reports each to the core's CoreEventHandler. It also owns the overlapped
// record the core reads through. The write thread owns the output ring and feeds it to the device
// with overlapped writes straight out of the ring's storage.
//
// Both are started by their constructor and stopped by Shutdown(), which the
// core calls on the GUI thread during its close sequence (write thread first).
// Shutdown returns once the thread has ended; while it waits on the GUI thread
// it keeps serving calls that workers make to the GUI thread.
//
// Nothing here spins: idle threads block on their wait sets. The event thread
// wakes every 200 ms for its idle poll while a wait is outstanding, until a
// poll finds the input queue empty; then, if its wait watches arriving bytes
// (EV_RXCHAR), it waits without a time-out until the next event. After an
// event that tells of arriving bytes alone, when the one before came only
// a moment earlier, it pauses until the next frame tick (FrameTicks.h)
// before waiting again, so a trickling line wakes it once a frame, not once
// per piece; events in the pause come together when the pause ends.

#include "platform/CommDevice.h"
#include "platform/KernelObjects.h"
#include "serial/AfCircularBuffer.h"
#include "serial/AfComPortCore.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <thread>

class TAfComPortCoreThread {
public:
    virtual ~TAfComPortCoreThread();
    TAfComPortCoreThread(const TAfComPortCoreThread&) = delete;
    TAfComPortCoreThread& operator=(const TAfComPortCoreThread&) = delete;

    // Stops the thread and waits for its end (GUI thread).
    virtual void Shutdown();
    // Applies a priority to the running thread (best effort).
    void SetPriority(TThreadPriority priority);

protected:
    explicit TAfComPortCoreThread(TAfComPortCore& core);
    // Runs Execute on a new thread; called last by each subclass constructor.
    void Start();
    virtual void Execute() = 0;
    // Reports an exception that escaped the thread's work (on the thread).
    virtual void ReportException(std::exception_ptr error);
    bool Terminated() const { return terminated_.load(); }
    void Terminate() { terminated_.store(true); }

    afp::TKernelEvent CloseEvent{true};
    TAfComPortCore* const Core;
    afp::TCommDevice* const Device;

private:
    void Run();

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<std::int64_t> threadId_{0};
    afp::TKernelEvent ended_{true};
};

class TAfComPortEventThread final : public TAfComPortCoreThread {
public:
    explicit TAfComPortEventThread(TAfComPortCore& core);
    ~TAfComPortEventThread() override;

    void Shutdown() override;
    // Reads what the driver holds, up to count, and with chunks when it
    // arrived (caller holds the core's ReadLock).
    std::int32_t ReadBytes(void* buffer, std::int32_t count, afp::TArrivalChunks* chunks);

protected:
    void Execute() override;
    void ReportException(std::exception_ptr error) override;

private:
    void RaiseCoreEvent(TAfCoreEvent kind, DWORD data);
    void ProcessCommEvent();
    void WaitFailed(DWORD error);

    static constexpr DWORD IdlePollMs = 200;
    // Arrivals closer together than this are a trickle worth a pause until
    // the next frame tick, in which further arrivals gather. A modem line's
    // change in the pause is reported when it ends.
    static constexpr DWORD CrowdedMs = 10;

    DWORD eventResult_ = 0;
    bool pending_ = false;  // a wait is outstanding, or none will be armed again
    bool armed_ = false;    // a comm-event wait is outstanding
    bool lossReported_ = false;
    std::chrono::steady_clock::time_point lastArrival_;  // of the last EV_RXCHAR alone
    afp::TKernelEvent waitEvent_{true};
    afp::TOverlapped waitRecord_;
    afp::TKernelEvent readEvent_{true};
    afp::TOverlapped readRecord_;
    // The handler is copied once; Shutdown withdraws it by clearing the flag.
    const TAfCPTCoreEvent handler_;
    std::atomic<bool> handlerSet_;
};

class TAfComPortWriteThread final : public TAfComPortCoreThread {
public:
    static constexpr DWORD PurgeAnswerLimitMs = 2000;

    explicit TAfComPortWriteThread(TAfComPortCore& core);
    ~TAfComPortWriteThread() override;

    void Shutdown() override;
    // Appends to the ring whole or not at all, and wakes the thread.
    bool Enqueue(const void* data, std::int32_t count);
    // Hand-shake with the thread, then discard all queued output.
    bool PurgeOutput();
    // Free room in the ring (caller holds the core's WriteLock).
    std::int32_t FreeSpace() const { return outBuffer_.FreeSpace(); }

protected:
    void Execute() override;

private:
    void CompleteWrite(DWORD written);

    afp::TKernelEvent purgeAck_{false};
    afp::TKernelEvent purgeRequest_{false};
    afp::TKernelEvent purgeDone_{false};
    afp::TKernelEvent dataQueued_{false};
    afp::TKernelEvent writeEvent_{true};
    afp::TOverlapped writeRecord_;
    TAfCircularBuffer outBuffer_;  // guarded by the core's WriteLock
    DWORD bytesToWrite_ = 0;
};
