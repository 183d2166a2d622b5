// The comm device on Windows: the system's own communications functions on a
// handle opened for overlapped I/O. The engine already speaks this API, so
// the backend passes calls through and adds only what the device contract
// (CommDevice.h) promises beyond Win32:
//  - read time-outs other than "return at once" are refused, and a read asks
//    the driver only for what its queue holds, so it never waits (some
//    drivers, and Wine, leave such a read pending while the queue is empty);
//  - SetupComm asks for an input queue of at least 1 MiB, falling back to the
//    size asked for when the driver refuses that much;
//  - line settings and escape codes outside the Win32 ranges are refused
//    before the driver sees them, with ERROR_INVALID_PARAMETER;
//  - at most one comm-event wait is outstanding, and none without a mask;
//  - a wait that a mask change ends completes with an empty mask (Wine
//    fails it with ERROR_OPERATION_ABORTED instead);
//  - destroying the device cancels what is outstanding and waits until it
//    has completed, so no record or buffer is touched afterwards.
// The system keeps the input queue and no time with its bytes, so a timed
// read (ReadFileTimed's default) stamps them with the time of the read.
//
// The OVERLAPPED of each operation lives here, one per caller record, and
// names the record's event, which is a kernel event the driver signals.
// Keeping it here rather than in the record means the device only ever looks
// at a caller's record while that record's operation is outstanding (when
// the caller must keep it), never at one that may already be gone.

#include "platform/CommBackends.h"
#include "platform/CommDriver.h"
#include "platform/NetworkPort.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace afp {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// The contract's error for a device that is not there, or busy.
DWORD OpenError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME: return ERROR_FILE_NOT_FOUND;
        case ERROR_SHARING_VIOLATION:
        case ERROR_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
        default: return error;
    }
}

bool IsEscapeFunction(DWORD function) {
    switch (function) {
        case SETXOFF:
        case SETXON:
        case SETRTS:
        case CLRRTS:
        case SETDTR:
        case CLRDTR:
        case SETBREAK:
        case CLRBREAK: return true;
        default: return false;
    }
}

class TWin32CommDevice final : public TCommDevice {
public:
    explicit TWin32CommDevice(HANDLE handle) : handle_(handle) {}
    ~TWin32CommDevice() override;

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
    bool WriteFile(const void* buffer, DWORD count, DWORD& written, TOverlapped& overlapped) override;
    bool GetOverlappedResult(TOverlapped& overlapped, DWORD& transferred, bool wait) override;

private:
    // The system's record of the latest operation started with one caller
    // record. Entries stay until the device closes (a record's address may
    // come back for a new record; its entry is then simply reused).
    enum class TKind { Wait, Read, Write };
    struct TRecord {
        TRecord() = default;
        TRecord(const TRecord&) = delete;
        TRecord& operator=(const TRecord&) = delete;
        ~TRecord() {
            if (WaitEvent) CloseHandle(WaitEvent);
        }
        OVERLAPPED Overlapped{};
        TKind Kind = TKind::Read;      // of the latest operation
        TOverlapped* Owner = nullptr;  // the caller's record; looked at only while in progress
        DWORD* Mask = nullptr;         // a wait's result, the caller's
        unsigned MaskGeneration = 0;   // of the mask the wait was started with
        // The device's own handle of a wait's event (see InProgress).
        HANDLE WaitEvent = nullptr;
        bool EndLost = false;  // a wait that ended without its status; see Settle
    };

    // Whether the record's operation is still outstanding. Wine can lose the
    // end of a comm-event wait: its wait thread may finish the wait (writing
    // the mask and the status, then signalling the event) before the call
    // that started it has returned, and that call then marks the record
    // pending once more, for good. The event is reset when a wait starts and
    // signalled only once it has ended, so a wait whose event is signalled
    // has ended. Once it is signalled the caller may drop its record, event
    // and mask at any time, so the look goes through the device's own handle
    // of the event, and the record's status waits for Settle.
    static bool InProgress(TRecord& record);
    // Gives a wait whose end was lost the status the system wrote (an empty
    // mask is a wait that a mask change ended). Only for the caller's own
    // look at its record, which is alive then, as is its mask.
    static void Settle(TRecord& record);

    // Fails with the error the system left.
    static bool Failed();
    static bool Fail(DWORD error);
    // The record for a new operation, made ready; null (and
    // ERROR_INVALID_PARAMETER) when its last operation is still outstanding
    // or the record has no event.
    TRecord* Prepare(TOverlapped& overlapped, TKind kind);
    // Ends the operations of that kind still in progress and waits until
    // they have completed; their records get ERROR_OPERATION_ABORTED. Holds
    // the lock.
    void AbortLocked(TKind kind);
    // Cancels a read or write until it has ended. Wine cannot cancel an
    // operation whose device has just become ready: the retry of the
    // transfer is already on its way to the thread that started it, so the
    // cancel finds nothing, and the retry then leaves the operation
    // outstanding once more (for good when the line stays blocked). A purge's
    // own flush makes exactly that room. Cancelling again until the
    // operation has ended closes the gap; Windows ends it at the first
    // cancel.
    void CancelUntilEnded(TRecord& record);
    // Waits until the event of an operation that has ended is signalled. The
    // system writes the outcome into the record a moment before it signals
    // the event (Wine from the thread that finished the operation, Windows
    // from the completion that follows), and a caller may look at the event
    // as soon as a purge or the close has returned.
    static void AwaitSignal(HANDLE event);
    TRecord* Find(TOverlapped& overlapped);
    // Whether the system call that started the operation completed it.
    bool Started(BOOL done, TOverlapped& overlapped, TRecord& record, DWORD* transferred);

    const HANDLE handle_;
    std::mutex maskLock_;  // orders mask changes and the starts of waits; taken before lock_
    std::mutex lock_;      // guards records_, wait_ and heldErrors_
    std::map<TOverlapped*, std::unique_ptr<TRecord>> records_;
    TRecord* wait_ = nullptr;                  // of the latest comm-event wait
    DWORD heldErrors_ = 0;                     // taken by a read's queue query, for the next ClearCommError
    std::atomic<unsigned> maskGeneration_{0};  // counts SetCommMask calls
};

bool TWin32CommDevice::InProgress(TRecord& record) {
    if (HasOverlappedIoCompleted(&record.Overlapped)) return false;
    if (record.Kind != TKind::Wait || WaitForSingleObject(record.WaitEvent, 0) != WAIT_OBJECT_0) return true;
    record.EndLost = true;
    record.Overlapped.Internal = static_cast<ULONG_PTR>(0xC0000120L);  // STATUS_CANCELLED, until settled
    return false;
}

void TWin32CommDevice::Settle(TRecord& record) {
    InProgress(record);
    if (!record.EndLost) return;
    record.EndLost = false;
    if (*record.Mask != 0) record.Overlapped.Internal = 0;  // STATUS_SUCCESS
}

bool TWin32CommDevice::Failed() { return Fail(::GetLastError()); }

bool TWin32CommDevice::Fail(DWORD error) {
    SetLastError(error);
    return false;
}

TWin32CommDevice::~TWin32CommDevice() {
    // A comm-event wait ends when the mask changes (Wine cannot cancel one);
    // reads and writes are cancelled.
    TRecord* wait = nullptr;
    {
        std::lock_guard guard(lock_);
        if (wait_ && wait_->Kind == TKind::Wait && InProgress(*wait_)) wait = wait_;
    }
    SetCommMask(0);
    std::lock_guard guard(lock_);
    if (wait) {
        wait->Owner->Status = ERROR_OPERATION_ABORTED;
        wait->Overlapped.Internal = static_cast<ULONG_PTR>(0xC0000120L);  // STATUS_CANCELLED
        AwaitSignal(wait->WaitEvent);
    }
    AbortLocked(TKind::Wait);
    AbortLocked(TKind::Read);
    AbortLocked(TKind::Write);
    CloseHandle(handle_);
}

void TWin32CommDevice::AbortLocked(TKind kind) {
    // Records of operations in progress are alive: the contract keeps them
    // until completion. Records of completed ones may not be, and are not
    // touched.
    for (auto& [owner, record] : records_) {
        if (record->Kind != kind || !InProgress(*record)) continue;
        if (kind != TKind::Wait) CancelUntilEnded(*record);
        DWORD transferred = 0;
        const BOOL done = ::GetOverlappedResult(handle_, &record->Overlapped, &transferred, TRUE);
        owner->Transferred = transferred;
        if (done && kind != TKind::Wait) {
            // Its last bytes went before the cancel came: it keeps its outcome.
            owner->Status = ERROR_SUCCESS;
        } else {
            owner->Status = ERROR_OPERATION_ABORTED;
            // Asked later, the record tells the same.
            record->Overlapped.Internal = static_cast<ULONG_PTR>(0xC0000120L);  // STATUS_CANCELLED
            record->Overlapped.InternalHigh = transferred;
        }
        AwaitSignal(kind == TKind::Wait ? record->WaitEvent : record->Overlapped.hEvent);
    }
}

void TWin32CommDevice::AwaitSignal(HANDLE event) {
    // A moment, normally; a caller that resets its own event must not hold
    // the device for long.
    constexpr DWORD LimitMs = 1000;
    WaitForSingleObject(event, LimitMs);
}

void TWin32CommDevice::CancelUntilEnded(TRecord& record) {
    // The record tells the end, not the event: the caller's thread may see
    // the event, collect the outcome and reset the event between two looks.
    // The event is only slept on; it is alive while the operation is
    // outstanding.
    constexpr DWORD RetryMs = 10;
    while (InProgress(record)) {
        CancelIoEx(handle_, &record.Overlapped);
        WaitForSingleObject(record.Overlapped.hEvent, RetryMs);
    }
}

TWin32CommDevice::TRecord* TWin32CommDevice::Prepare(TOverlapped& overlapped, TKind kind) {
    if (!overlapped.Event) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard guard(lock_);
    auto& record = records_[&overlapped];
    if (!record) record = std::make_unique<TRecord>();
    if (InProgress(*record)) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const HANDLE event = overlapped.Event->State().Handle;
    if (record->WaitEvent) CloseHandle(record->WaitEvent);
    record->WaitEvent = nullptr;
    if (kind == TKind::Wait && !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &record->WaitEvent, 0,
                                                FALSE, DUPLICATE_SAME_ACCESS)) {
        record->WaitEvent = nullptr;
        Failed();
        return nullptr;
    }
    record->Overlapped = OVERLAPPED{};
    record->Overlapped.hEvent = event;
    record->Kind = kind;
    record->Owner = &overlapped;
    record->Mask = nullptr;
    record->EndLost = false;
    if (kind == TKind::Wait) {
        // As the system does when it starts the wait; the event then tells
        // when the wait has ended (see InProgress).
        overlapped.Event->Reset();
        wait_ = record.get();
    }
    overlapped.Status = ERROR_IO_PENDING;
    overlapped.Transferred = 0;
    return record.get();
}

TWin32CommDevice::TRecord* TWin32CommDevice::Find(TOverlapped& overlapped) {
    std::lock_guard guard(lock_);
    const auto found = records_.find(&overlapped);
    return found == records_.end() ? nullptr : found->second.get();
}

bool TWin32CommDevice::Started(BOOL done, TOverlapped& overlapped, TRecord& record, DWORD* transferred) {
    if (done) {
        DWORD count = 0;
        ::GetOverlappedResult(handle_, &record.Overlapped, &count, FALSE);
        overlapped.Status = ERROR_SUCCESS;
        overlapped.Transferred = count;
        if (transferred) *transferred = count;
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) {
        overlapped.Status = error;
        // Nothing was started: the record is free again, and a late look at
        // it finds a failure, not an operation in progress.
        record.Overlapped.Internal = static_cast<ULONG_PTR>(0xC0000001L);  // STATUS_UNSUCCESSFUL
    }
    return Fail(error);
}

bool TWin32CommDevice::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
    // Reads that return at once and writes without a limit, as every backend.
    if (timeouts.ReadIntervalTimeout != MAXDWORD || timeouts.ReadTotalTimeoutMultiplier != 0 ||
        timeouts.ReadTotalTimeoutConstant != 0 || timeouts.WriteTotalTimeoutMultiplier != 0 ||
        timeouts.WriteTotalTimeoutConstant != 0)
        return Fail(ERROR_NOT_SUPPORTED);
    COMMTIMEOUTS copy = timeouts;
    return ::SetCommTimeouts(handle_, &copy) || Failed();
}

bool TWin32CommDevice::GetCommTimeouts(COMMTIMEOUTS& timeouts) {
    return ::GetCommTimeouts(handle_, &timeouts) || Failed();
}

bool TWin32CommDevice::SetupComm(DWORD inQueue, DWORD outQueue) {
    const DWORD wanted = std::max<DWORD>(inQueue, static_cast<DWORD>(TCommDriver::MinInputQueue));
    if (::SetupComm(handle_, wanted, outQueue)) return true;
    return ::SetupComm(handle_, inQueue, outQueue) || Failed();
}

bool TWin32CommDevice::SetCommMask(DWORD mask) {
    std::lock_guard maskGuard(maskLock_);
    // Counted before the call: the wait it ends may be collected before the
    // call returns.
    ++maskGeneration_;
    if (!::SetCommMask(handle_, mask)) return Failed();
    // Windows has completed the outstanding wait when the call returns; Wine
    // completes it from a thread of its own a little later, writing the
    // caller's result and record then. Waiting for that here keeps the
    // caller free to drop them once this returns, as on Windows. The record
    // is the device's own, and so is the look at it.
    TRecord* wait = nullptr;
    {
        std::lock_guard guard(lock_);
        if (wait_ && wait_->Kind == TKind::Wait) wait = wait_;
    }
    while (wait && InProgress(*wait)) WaitForSingleObject(wait->WaitEvent, 10);
    return true;
}

bool TWin32CommDevice::GetCommMask(DWORD& mask) { return ::GetCommMask(handle_, &mask) || Failed(); }

bool TWin32CommDevice::SetCommState(const DCB& dcb) {
    if (const DWORD invalid = TCommDriver::ValidateState(dcb); invalid != ERROR_SUCCESS) return Fail(invalid);
    DCB copy = dcb;
    copy.DCBlength = sizeof(DCB);
    return ::SetCommState(handle_, &copy) || Failed();
}

bool TWin32CommDevice::GetCommState(DCB& dcb) {
    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle_, &state)) return Failed();
    dcb = state;
    return true;
}

bool TWin32CommDevice::ClearCommError(DWORD* errors, COMSTAT* stat) {
    DWORD gathered = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_, &gathered, &status)) return Failed();
    {
        std::lock_guard guard(lock_);
        gathered |= heldErrors_;
        heldErrors_ = 0;
    }
    if (errors) *errors = gathered;
    if (stat) *stat = status;
    return true;
}

bool TWin32CommDevice::PurgeComm(DWORD flags) {
    if (flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR})
        return Fail(ERROR_INVALID_PARAMETER);
    // Windows completes the aborted operations itself; Wine leaves them
    // running, so they are cancelled here: once this returns, no buffer of
    // an aborted operation is touched. Cancelled before the system's purge,
    // so its clearing of the queues also takes what they passed on last.
    {
        std::lock_guard guard(lock_);
        if (flags & PURGE_TXABORT) AbortLocked(TKind::Write);
        if (flags & PURGE_RXABORT) AbortLocked(TKind::Read);
    }
    return ::PurgeComm(handle_, flags) || Failed();
}

bool TWin32CommDevice::GetCommModemStatus(DWORD& status) { return ::GetCommModemStatus(handle_, &status) || Failed(); }

bool TWin32CommDevice::EscapeCommFunction(DWORD function) {
    if (!IsEscapeFunction(function)) return Fail(ERROR_INVALID_PARAMETER);
    return ::EscapeCommFunction(handle_, function) || Failed();
}

bool TWin32CommDevice::WaitCommEvent(DWORD& mask, TOverlapped& overlapped) {
    // A mask change cannot come between the look at the mask and the start
    // of the wait: Wine would accept a wait on an empty mask that nothing
    // ever ends.
    std::lock_guard maskGuard(maskLock_);
    {
        std::lock_guard guard(lock_);
        if (wait_ && wait_->Kind == TKind::Wait && InProgress(*wait_)) return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD current = 0;
    if (!::GetCommMask(handle_, &current)) return Failed();
    if (current == 0) return Fail(ERROR_INVALID_PARAMETER);
    TRecord* record = Prepare(overlapped, TKind::Wait);
    if (!record) return false;
    record->Mask = &mask;
    record->MaskGeneration = maskGeneration_.load();
    return Started(::WaitCommEvent(handle_, &mask, &record->Overlapped), overlapped, *record, nullptr);
}

bool TWin32CommDevice::ReadFile(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped) {
    read = 0;
    COMSTAT status{};
    DWORD errors = 0;
    if (!::ClearCommError(handle_, &errors, &status)) return Failed();
    {
        // The query took the line errors with it; they belong to the caller's
        // next ClearCommError.
        std::lock_guard guard(lock_);
        heldErrors_ |= errors;
    }
    TRecord* record = Prepare(overlapped, TKind::Read);
    if (!record) return false;
    const DWORD ask = std::min(count, status.cbInQue);
    if (ask == 0) {
        overlapped.Status = ERROR_SUCCESS;
        overlapped.Event->Set();
        return true;
    }
    // The bytes are there: a read that the driver still queues completes at
    // once, so it is collected here rather than handed back pending.
    if (!Started(::ReadFile(handle_, buffer, ask, nullptr, &record->Overlapped), overlapped, *record, &read)) {
        if (LastError() != ERROR_IO_PENDING) return false;
        return GetOverlappedResult(overlapped, read, true);
    }
    return true;
}

bool TWin32CommDevice::WriteFile(const void* buffer, DWORD count, DWORD& written, TOverlapped& overlapped) {
    written = 0;
    TRecord* record = Prepare(overlapped, TKind::Write);
    if (!record) return false;
    return Started(::WriteFile(handle_, buffer, count, nullptr, &record->Overlapped), overlapped, *record, &written);
}

bool TWin32CommDevice::GetOverlappedResult(TOverlapped& overlapped, DWORD& transferred, bool wait) {
    transferred = 0;
    TRecord* record = Find(overlapped);
    if (!record) return Fail(ERROR_INVALID_PARAMETER);
    Settle(*record);
    if (::GetOverlappedResult(handle_, &record->Overlapped, &transferred, wait ? TRUE : FALSE)) {
        overlapped.Status = ERROR_SUCCESS;
        overlapped.Transferred = transferred;
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_OPERATION_ABORTED && record->Kind == TKind::Wait &&
        record->MaskGeneration != maskGeneration_.load()) {
        *record->Mask = 0;
        overlapped.Status = ERROR_SUCCESS;
        return true;
    }
    if (error != ERROR_IO_INCOMPLETE) {
        overlapped.Status = error;
        overlapped.Transferred = transferred;
    }
    return Fail(error);
}

}  // namespace

std::unique_ptr<TCommDevice> OpenWin32CommDevice(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastError(OpenError(::GetLastError()));
        return nullptr;
    }
    // A file or pipe of that name is no serial port.
    if (GetFileType(handle) != FILE_TYPE_CHAR) {
        CloseHandle(handle);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return std::make_unique<TWin32CommDevice>(handle);
}

std::unique_ptr<TCommDevice> OpenCommDevice(const std::string& name) {
    if (name.rfind(VirtualPrefix, 0) == 0) return OpenVirtualCommDevice(name);
    if (IsNetworkPortName(name)) return OpenNetworkCommDevice(name);
    if (name.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // "COM<n>" and device paths alike go to the system as they are.
    return OpenWin32CommDevice(name);
}

DWORD ProbeCommDevice(const std::string& name) {
    if (name.rfind(VirtualPrefix, 0) == 0) return ProbeVirtualCommDevice(name);
    if (IsNetworkPortName(name)) return ProbeNetworkCommDevice(name);
    if (name.empty()) return ERROR_FILE_NOT_FOUND;
    // Windows opens a comm device for one user at a time: a port held
    // elsewhere refuses this open and is left alone.
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return OpenError(::GetLastError());
    const bool serial = GetFileType(handle) == FILE_TYPE_CHAR;
    CloseHandle(handle);
    return serial ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

DWORD LastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

}  // namespace afp
