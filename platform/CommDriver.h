#pragma once
// The part of a comm device that every backend shares: the Win32 semantics of
// TCommDevice (input queue, event mask and comm-event waits, overlapped
// writes, line errors, modem-status changes, purging, loss of the device)
// written once over a small "line" interface that each backend implements.
//
// A backend derives from TCommDriver, implements the Line* hooks, and runs
// whatever moves bytes (a poll thread, a simulated cable). That code feeds the
// driver through the protected services below. Backends must call
// ShutdownDriver() first thing in their destructor, before their line stops.
//
// Locking: one mutex guards the driver state. Line* hooks are called without
// it, so a hook may call back into the services. Services may be called from
// any thread; they never block for long (EndOutput and PurgeComm wait only for
// the line to finish handing over one run of bytes).

#include "platform/CommDevice.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace afp {

class TCommDriver : public TCommDevice {
public:
    // The input queue never holds less than this, whatever SetupComm asks.
    static constexpr std::size_t MinInputQueue = 1u << 20;
    // The most runs with times of their own the input queue keeps; bytes
    // that come while it holds that many join the newest run and take its
    // time. A reader that polls never gets near it.
    static constexpr std::size_t MaxArrivalRuns = 1u << 16;
    // Queue sizes above this are refused.
    static constexpr DWORD MaxQueueSize = 1u << 28;

    ~TCommDriver() override;

    bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
    bool GetCommTimeouts(COMMTIMEOUTS& timeouts) override;
    bool SetupComm(DWORD inQueue, DWORD outQueue) override;
    bool SetCommMask(DWORD mask) override;
    bool GetCommMask(DWORD& mask) override;
    bool SetCommState(const DCB& dcb) override;
    bool GetCommState(DCB& dcb) override;
    bool ClearCommError(DWORD* errors, COMSTAT* stat) override;
    bool PurgeComm(DWORD flags) override;
    bool GetCommModemStatus(DWORD& status) override;
    bool EscapeCommFunction(DWORD function) override;
    bool WaitCommEvent(DWORD& mask, TOverlapped& overlapped) override;
    bool ReadFile(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped) override;
    bool ReadFileTimed(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped,
                       TArrivalChunks& chunks) override;
    bool WriteFile(const void* buffer, DWORD count, DWORD& written, TOverlapped& overlapped) override;
    bool GetOverlappedResult(TOverlapped& overlapped, DWORD& transferred, bool wait) override;

    // The Win32 checks of a DCB's ranges and combinations, before any backend
    // looks at it: ERROR_SUCCESS or ERROR_INVALID_PARAMETER.
    static DWORD ValidateState(const DCB& dcb);

protected:
    // initialState is what GetCommState reports until SetCommState succeeds.
    TCommDriver(const DCB& initialState, DWORD modemStatus);

    // ---- services for the backend's line ----
    // Takes up to count bytes into the input queue and returns how many it
    // took (fewer when the queue is full). Raises EV_RXCHAR when it took any.
    // They arrive now (ArrivalNow() under the driver lock): the backend calls
    // this as soon as it has the bytes.
    std::size_t DeliverInput(const BYTE* data, std::size_t count);
    std::size_t InputRoom() const;
    // Gathers CE_ bits; raises EV_ERR, and EV_BREAK for CE_BREAK.
    void ReportLineErrors(DWORD errors);
    // The present MS_ bits; raises EV_CTS, EV_DSR, EV_RLSD for lines that
    // changed and EV_RING when RING comes on.
    void SetModemStatus(DWORD status);
    // A ring that the line counted (it may have been too short to be seen in
    // the status): raises EV_RING.
    void ReportRing();
    // Output hand-over. BeginOutput names the unsent bytes of the oldest write
    // (the caller's own buffer) and marks the line busy; the line sends what it
    // can and reports it with EndOutput, which completes the write once all
    // of it has gone. Returns false when nothing is waiting.
    bool BeginOutput(const BYTE*& data, std::size_t& count);
    void EndOutput(std::size_t sent);
    bool OutputPending() const;
    // The device has gone: outstanding operations fail with ERROR_BAD_COMMAND
    // and so do later ones (see CommDevice.h).
    void MarkLost();
    bool IsLost() const;
    // Completes everything outstanding with ERROR_OPERATION_ABORTED; later
    // output is refused. Called by the backend's destructor.
    void ShutdownDriver();

    // ---- bytes held back ----
    // One device at a time may leave what arrives in its line for a while
    // and read it in one piece: the gatherer. Two ports' bytes then still
    // keep the order they came in, since every backend calls
    // HandOverGatheredElsewhere() before it delivers what it read, which
    // makes the gatherer, if another device, hand over what it holds first
    // (LineHandOverGathered, on the caller's thread). TryGather makes this
    // device the gatherer unless another one is; StopGathering gives it up.
    bool TryGather();
    void StopGathering();
    void HandOverGatheredElsewhere();

    // ---- the backend's line; called without the driver lock ----
    // Applies a validated DCB (speed, framing, flow control, DTR and RTS
    // control). Returns ERROR_SUCCESS or why it cannot.
    virtual DWORD LineApplyState(const DCB& dcb) = 0;
    // SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK, SETXON, SETXOFF.
    virtual DWORD LineEscape(DWORD function) = 0;
    // Discards what the line itself still holds (PURGE_TXCLEAR, PURGE_RXCLEAR).
    virtual void LineFlush(DWORD purgeFlags) = 0;
    // Something for the line to do: output was queued, or input room freed.
    virtual void LineWake() = 0;
    // Read and deliver what the line holds back, now, on another device's
    // thread. Called only while this device is the gatherer, without any
    // driver lock, and never once ShutdownDriver() has begun.
    virtual void LineHandOverGathered() {}

private:
    struct TPendingWrite {
        const BYTE* Data;
        std::size_t Count;
        std::size_t Done;
        TOverlapped* Overlapped;
    };

    void RaiseLocked(DWORD events);
    static void CompleteLocked(TOverlapped& overlapped, DWORD status, DWORD transferred);
    void CompleteWaitLocked(DWORD events, DWORD status);
    void FailWritesLocked(std::unique_lock<std::mutex>& guard, DWORD status);
    bool Fail(DWORD error) const;
    bool ReadQueue(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped, TArrivalChunks* chunks);

    mutable std::mutex lock_;
    std::condition_variable outputIdle_;
    DCB state_;
    COMMTIMEOUTS timeouts_{};
    DWORD mask_ = 0;
    DWORD events_ = 0;  // occurred while no wait was armed
    DWORD errors_ = 0;
    DWORD modem_;
    DWORD* waitMask_ = nullptr;
    TOverlapped* waitOverlapped_ = nullptr;
    std::deque<TPendingWrite> writes_;
    bool outputBusy_ = false;
    bool lost_ = false;
    bool shutDown_ = false;
    // The input queue: a ring over inBuffer_.
    std::vector<BYTE> inBuffer_;
    std::size_t inHead_ = 0;
    std::size_t inSize_ = 0;
    // When the queued bytes arrived: runs, oldest first, whose counts add
    // up to inSize_.
    std::deque<TArrivalChunk> arrivals_;
};

}  // namespace afp
