#pragma once
// TAfComPortCore owns one COM device while it is open: the device, its line
// settings, the driver queue sizes, the event and write threads and their
// priorities, the two locks and the line errors gathered so far. A serial
// port component creates one core for its whole life and opens and closes the
// device through it as often as the user switches the port on and off.
//
// Threads: every operation is called on the GUI thread (the owner), except
// that CoreEventHandler runs on the event thread and may call back ReadBytes,
// QueryComStat and TakeLineErrors there.
// Locks: ReadLock guards reads, status queries and LineErrors; WriteLock
// guards the write thread's ring. Order: ReadLock before WriteLock.
// Failures raise EAfComPortCoreError with the texts below; operations on a
// closed core return their "nothing" value instead (false, -1, 0, zeros).
// Time limits: an open waits at most 3000 ms for each thread to start; a close
// waits at most 2000 ms for the write thread to answer its purge.
// Trace (platform/Trace.h, area "serial"): opens, closes, every failure with
// the device layer's error, refused settings with what the device kept,
// device losses and exceptions that escape the threads.

#include "platform/CommDevice.h"
#include "platform/KernelObjects.h"
#include "serial/AfErrors.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

// The toolkit's seven-step thread priority scale.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The Win32 thread priority each step stands for.
int Win32PriorityOf(TThreadPriority priority);

// What the core reports to its owner, from the event thread.
enum TAfCoreEvent : int {
    ckOutputDrained = 0,    // the output ring has been written empty; Data 0
    ckCommEvent = 1,        // a comm event wait completed; Data = the EV_ mask
    ckDataWaiting = 2,      // 200 ms without events and input waiting; Data = its count
    ckThreadException = 3,  // an exception escaped the event thread's work; Error holds it
    ckDeviceLost = 4,       // the device has gone (unplugged, hung up); Data = the error code.
                            // Reported once; the threads then stay idle until the close.
};

class TAfComPortCore;
class TAfComPortEventThread;
class TAfComPortWriteThread;

// The core's callback. Error is set only for ckThreadException; the receiver
// owns it from then on.
using TAfCPTCoreEvent =
    std::function<void(TAfComPortCore* Sender, TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error)>;

class TAfComPortCore {
public:
    static constexpr DWORD DefaultEventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR | EV_RING;
    static constexpr DWORD ThreadStartLimitMs = 3000;

    TAfComPortCore();
    ~TAfComPortCore();
    TAfComPortCore(const TAfComPortCore&) = delete;
    TAfComPortCore& operator=(const TAfComPortCore&) = delete;

    // False (and nothing changes) when already open. Raises
    // "Invalid port number (COM%d)" for numbers below 1, and the open
    // sequence's errors; after a failure the core is closed again.
    bool OpenDevice(std::int32_t comNumber);
    void CloseDevice();

    // Stores the settings and, while the threads run, applies them at once;
    // a refusal raises "Error setting parameters from DCB" after the stored
    // settings have been replaced by the device's own.
    void SetDcb(const DCB& dcb);
    const DCB& Dcb() const { return dcb_; }

    void SetInQueueSize(std::int32_t size) { inQueueSize_ = size; }    // next open
    void SetOutQueueSize(std::int32_t size) { outQueueSize_ = size; }  // next open
    void SetEventPriority(TThreadPriority priority);                   // at once
    void SetWritePriority(TThreadPriority priority);                   // at once
    std::int32_t InQueueSize() const { return inQueueSize_; }
    std::int32_t OutQueueSize() const { return outQueueSize_; }
    TThreadPriority EventPriority() const { return eventPriority_; }
    TThreadPriority WritePriority() const { return writePriority_; }

    // Appends the bytes to the output ring whole, or refuses (false).
    bool QueueBytes(const void* data, std::int32_t count);
    // What the driver holds, up to count; never waits. -1 when closed. With
    // chunks, also appends when the bytes read arrived (CommDevice.h's
    // ReadFileTimed): runs, oldest first, whose counts add up to the result.
    std::int32_t ReadBytes(void* buffer, std::int32_t count, afp::TArrivalChunks* chunks = nullptr);
    // The driver's COMSTAT (zeros when closed); gathers its line errors.
    void QueryComStat(COMSTAT& stat);
    DWORD TakeLineErrors();
    DWORD ModemStatusBits();
    bool SendEscape(DWORD function);
    std::int32_t OutputSpace();

    std::string DeviceName() const;
    afp::TCommDevice* DeviceHandle() const { return device_.get(); }
    bool Opened() const { return opened_; }
    bool Active() const { return active_.load(); }
    std::int32_t ComNumber() const { return comNumber_; }

    // Set by the owner right after construction; copied by each open.
    TAfCPTCoreEvent CoreEventHandler;

private:
    friend class TAfComPortCoreThread;
    friend class TAfComPortEventThread;
    friend class TAfComPortWriteThread;

    void RunOpenSequence();
    void RunCloseSequence();
    // SetCommState with dcb_; on a refusal dcb_ becomes the device's own and
    // this raises.
    void ApplyDcb();
    // deviceError: what the device layer reported, or ERROR_SUCCESS.
    [[noreturn]] void Fail(const std::string& message, DWORD deviceError = ERROR_SUCCESS);

    std::atomic<bool> active_{false};
    std::int32_t comNumber_ = 0;
    DCB dcb_{};
    const DWORD eventMask_ = DefaultEventMask;
    std::unique_ptr<afp::TCommDevice> device_;
    bool opened_ = false;
    DWORD lineErrors_ = 0;  // guarded by ReadLock
    std::int32_t inQueueSize_ = 8192;
    std::int32_t outQueueSize_ = 4096;
    afp::TRecursiveLock ReadLock;
    afp::TRecursiveLock WriteLock;
    afp::TKernelEvent ThreadStarted{false};
    afp::TKernelEvent OutputDrained{false};
    std::unique_ptr<TAfComPortEventThread> eventThread_;
    // The event thread that reads for us. Set by the event thread's
    // constructor before the thread runs, so its own handler can read through
    // it; cleared once the thread has ended.
    std::atomic<TAfComPortEventThread*> reader_{nullptr};
    std::unique_ptr<TAfComPortWriteThread> writeThread_;
    TThreadPriority writePriority_ = tpHigher;
    TThreadPriority eventPriority_ = tpNormal;
};
