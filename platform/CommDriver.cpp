#include "platform/CommDriver.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace afp {

namespace {

// The device that holds bytes back, if any. Written under GathererLock, which
// is also held while it hands over: it gives up the place (ShutdownDriver)
// only once that is done. Read without the lock to skip it when there is no
// other gatherer.
std::mutex GathererLock;
std::atomic<TCommDriver*> Gatherer{nullptr};

}  // namespace

TCommDriver::TCommDriver(const DCB& initialState, DWORD modemStatus)
    : state_(initialState), modem_(modemStatus), inBuffer_(MinInputQueue) {}

TCommDriver::~TCommDriver() { ShutdownDriver(); }

bool TCommDriver::Fail(DWORD error) const {
    SetLastError(error);
    return false;
}

void TCommDriver::CompleteLocked(TOverlapped& overlapped, DWORD status, DWORD transferred) {
    overlapped.Status = status;
    overlapped.Transferred = transferred;
    if (overlapped.Event) overlapped.Event->Set();
}

void TCommDriver::RaiseLocked(DWORD events) {
    events &= mask_;
    if (events == 0) return;
    events_ |= events;
    if (waitOverlapped_) {
        const DWORD occurred = events_;
        events_ = 0;
        CompleteWaitLocked(occurred, ERROR_SUCCESS);
    }
}

void TCommDriver::CompleteWaitLocked(DWORD events, DWORD status) {
    if (!waitOverlapped_) return;
    *waitMask_ = events;
    TOverlapped* overlapped = waitOverlapped_;
    waitOverlapped_ = nullptr;
    waitMask_ = nullptr;
    CompleteLocked(*overlapped, status, 0);
}

void TCommDriver::FailWritesLocked(std::unique_lock<std::mutex>& guard, DWORD status) {
    // The line may be copying out of the oldest write's buffer; the caller is
    // free to reuse that buffer the moment its write completes.
    outputIdle_.wait(guard, [this] { return !outputBusy_; });
    for (TPendingWrite& write : writes_) CompleteLocked(*write.Overlapped, status, static_cast<DWORD>(write.Done));
    writes_.clear();
}

DWORD TCommDriver::ValidateState(const DCB& dcb) {
    if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
    if (dcb.ByteSize < 4 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
    // Win32 allows 1.5 stop bits only with 5 data bits, and 2 only with more.
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return ERROR_INVALID_PARAMETER;
    if (DcbDtrControl(dcb) > DTR_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

bool TCommDriver::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
    // Only reads that return at once are implemented, and writes without limit.
    if (timeouts.ReadIntervalTimeout != MAXDWORD || timeouts.ReadTotalTimeoutMultiplier != 0 ||
        timeouts.ReadTotalTimeoutConstant != 0 || timeouts.WriteTotalTimeoutMultiplier != 0 ||
        timeouts.WriteTotalTimeoutConstant != 0)
        return Fail(ERROR_NOT_SUPPORTED);
    std::lock_guard guard(lock_);
    timeouts_ = timeouts;
    return true;
}

bool TCommDriver::GetCommTimeouts(COMMTIMEOUTS& timeouts) {
    std::lock_guard guard(lock_);
    timeouts = timeouts_;
    return true;
}

bool TCommDriver::SetupComm(DWORD inQueue, DWORD outQueue) {
    if (inQueue > MaxQueueSize || outQueue > MaxQueueSize) return Fail(ERROR_INVALID_PARAMETER);
    bool roomGrew = false;
    {
        std::lock_guard guard(lock_);
        const std::size_t capacity = std::max<std::size_t>({inQueue, MinInputQueue, inSize_});
        if (capacity != inBuffer_.size()) {
            std::vector<BYTE> grown(capacity);
            for (std::size_t i = 0; i < inSize_; ++i) grown[i] = inBuffer_[(inHead_ + i) % inBuffer_.size()];
            roomGrew = capacity > inBuffer_.size();
            inBuffer_.swap(grown);
            inHead_ = 0;
        }
    }
    if (roomGrew) LineWake();
    return true;
}

bool TCommDriver::SetCommMask(DWORD mask) {
    std::lock_guard guard(lock_);
    mask_ = mask;
    events_ = 0;
    CompleteWaitLocked(0, ERROR_SUCCESS);
    if (lost_) return Fail(ERROR_BAD_COMMAND);
    return true;
}

bool TCommDriver::GetCommMask(DWORD& mask) {
    std::lock_guard guard(lock_);
    mask = mask_;
    return true;
}

bool TCommDriver::SetCommState(const DCB& dcb) {
    if (const DWORD invalid = ValidateState(dcb); invalid != ERROR_SUCCESS) return Fail(invalid);
    if (IsLost()) return Fail(ERROR_BAD_COMMAND);
    if (const DWORD refused = LineApplyState(dcb); refused != ERROR_SUCCESS) return Fail(refused);
    std::lock_guard guard(lock_);
    state_ = dcb;
    state_.DCBlength = sizeof(DCB);
    return true;
}

bool TCommDriver::GetCommState(DCB& dcb) {
    std::lock_guard guard(lock_);
    dcb = state_;
    return true;
}

bool TCommDriver::ClearCommError(DWORD* errors, COMSTAT* stat) {
    std::lock_guard guard(lock_);
    if (errors) *errors = errors_;
    errors_ = 0;
    if (stat) {
        std::size_t unsent = 0;
        for (const TPendingWrite& write : writes_) unsent += write.Count - write.Done;
        // By name: Win32's COMSTAT starts with bit-fields.
        COMSTAT status{};
        status.cbInQue = static_cast<DWORD>(inSize_);
        status.cbOutQue = static_cast<DWORD>(unsent);
        *stat = status;
    }
    return true;
}

bool TCommDriver::PurgeComm(DWORD flags) {
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return Fail(ERROR_INVALID_PARAMETER);
    bool freedRoom = false;
    {
        std::unique_lock guard(lock_);
        if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) FailWritesLocked(guard, ERROR_OPERATION_ABORTED);
        if (flags & PURGE_RXCLEAR) {
            freedRoom = inSize_ == inBuffer_.size();
            inHead_ = 0;
            inSize_ = 0;
            arrivals_.clear();
        }
    }
    if (flags & (PURGE_TXCLEAR | PURGE_RXCLEAR)) LineFlush(flags & (PURGE_TXCLEAR | PURGE_RXCLEAR));
    if (freedRoom) LineWake();
    return true;
}

bool TCommDriver::GetCommModemStatus(DWORD& status) {
    std::lock_guard guard(lock_);
    if (lost_) return Fail(ERROR_BAD_COMMAND);
    status = modem_;
    return true;
}

bool TCommDriver::EscapeCommFunction(DWORD function) {
    if (IsLost()) return Fail(ERROR_BAD_COMMAND);
    switch (function) {
        case SETXOFF:
        case SETXON:
        case SETRTS:
        case CLRRTS:
        case SETDTR:
        case CLRDTR:
        case SETBREAK:
        case CLRBREAK: break;
        default: return Fail(ERROR_INVALID_PARAMETER);
    }
    if (const DWORD refused = LineEscape(function); refused != ERROR_SUCCESS) return Fail(refused);
    return true;
}

bool TCommDriver::WaitCommEvent(DWORD& mask, TOverlapped& overlapped) {
    std::lock_guard guard(lock_);
    if (lost_) return Fail(ERROR_BAD_COMMAND);
    if (shutDown_) return Fail(ERROR_OPERATION_ABORTED);
    if (waitOverlapped_ || mask_ == 0) return Fail(ERROR_INVALID_PARAMETER);
    if (overlapped.Event) overlapped.Event->Reset();
    if (events_ & mask_) {
        mask = events_ & mask_;
        events_ = 0;
        CompleteLocked(overlapped, ERROR_SUCCESS, 0);
        return true;
    }
    overlapped.Status = ERROR_IO_PENDING;
    overlapped.Transferred = 0;
    waitOverlapped_ = &overlapped;
    waitMask_ = &mask;
    return Fail(ERROR_IO_PENDING);
}

bool TCommDriver::ReadFile(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped) {
    return ReadQueue(buffer, count, read, overlapped, nullptr);
}

bool TCommDriver::ReadFileTimed(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped,
                                TArrivalChunks& chunks) {
    return ReadQueue(buffer, count, read, overlapped, &chunks);
}

bool TCommDriver::ReadQueue(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped, TArrivalChunks* chunks) {
    bool wasFull = false;
    {
        std::lock_guard guard(lock_);
        if (overlapped.Event) overlapped.Event->Reset();
        const std::size_t taken = std::min<std::size_t>(count, inSize_);
        if (taken == 0 && lost_) {
            CompleteLocked(overlapped, ERROR_BAD_COMMAND, 0);
            read = 0;
            return Fail(ERROR_BAD_COMMAND);
        }
        wasFull = inSize_ == inBuffer_.size();
        auto* out = static_cast<BYTE*>(buffer);
        const std::size_t firstRun = std::min(taken, inBuffer_.size() - inHead_);
        std::memcpy(out, inBuffer_.data() + inHead_, firstRun);
        std::memcpy(out + firstRun, inBuffer_.data(), taken - firstRun);
        inHead_ = (inHead_ + taken) % inBuffer_.size();
        inSize_ -= taken;
        for (std::size_t left = taken; left > 0;) {
            TArrivalChunk& oldest = arrivals_.front();
            const auto part = static_cast<std::uint32_t>(std::min<std::size_t>(left, oldest.Count));
            if (chunks) chunks->push_back({part, oldest.Time});
            left -= part;
            oldest.Count -= part;
            if (oldest.Count == 0) arrivals_.pop_front();
        }
        read = static_cast<DWORD>(taken);
        CompleteLocked(overlapped, ERROR_SUCCESS, read);
        wasFull = wasFull && taken > 0;
    }
    if (wasFull) LineWake();
    return true;
}

bool TCommDriver::WriteFile(const void* buffer, DWORD count, DWORD& written, TOverlapped& overlapped) {
    {
        std::lock_guard guard(lock_);
        if (lost_) return Fail(ERROR_BAD_COMMAND);
        if (shutDown_) return Fail(ERROR_OPERATION_ABORTED);
        if (overlapped.Event) overlapped.Event->Reset();
        written = 0;
        if (count == 0) {
            CompleteLocked(overlapped, ERROR_SUCCESS, 0);
            return true;
        }
        overlapped.Status = ERROR_IO_PENDING;
        overlapped.Transferred = 0;
        writes_.push_back({static_cast<const BYTE*>(buffer), count, 0, &overlapped});
    }
    LineWake();
    return Fail(ERROR_IO_PENDING);
}

bool TCommDriver::GetOverlappedResult(TOverlapped& overlapped, DWORD& transferred, bool wait) {
    std::unique_lock guard(lock_);
    while (overlapped.Status == ERROR_IO_PENDING) {
        if (!wait || !overlapped.Event) return Fail(ERROR_IO_INCOMPLETE);
        guard.unlock();
        WaitForEvent(*overlapped.Event, INFINITE);
        guard.lock();
    }
    transferred = overlapped.Transferred;
    if (overlapped.Status != ERROR_SUCCESS) return Fail(overlapped.Status);
    return true;
}

std::size_t TCommDriver::DeliverInput(const BYTE* data, std::size_t count) {
    std::lock_guard guard(lock_);
    const std::size_t taken = std::min(count, inBuffer_.size() - inSize_);
    if (taken == 0) return 0;
    const std::size_t tail = (inHead_ + inSize_) % inBuffer_.size();
    const std::size_t firstRun = std::min(taken, inBuffer_.size() - tail);
    std::memcpy(inBuffer_.data() + tail, data, firstRun);
    std::memcpy(inBuffer_.data(), data + firstRun, taken - firstRun);
    inSize_ += taken;
    if (arrivals_.size() < MaxArrivalRuns)
        arrivals_.push_back({static_cast<std::uint32_t>(taken), ArrivalNow()});
    else
        arrivals_.back().Count += static_cast<std::uint32_t>(taken);
    RaiseLocked(EV_RXCHAR);
    return taken;
}

std::size_t TCommDriver::InputRoom() const {
    std::lock_guard guard(lock_);
    return inBuffer_.size() - inSize_;
}

void TCommDriver::ReportLineErrors(DWORD errors) {
    if (errors == 0) return;
    std::lock_guard guard(lock_);
    errors_ |= errors;
    RaiseLocked(EV_ERR | ((errors & CE_BREAK) ? EV_BREAK : 0));
}

void TCommDriver::SetModemStatus(DWORD status) {
    std::lock_guard guard(lock_);
    const DWORD changed = status ^ modem_;
    const bool ringCameOn = (status & MS_RING_ON) && !(modem_ & MS_RING_ON);
    modem_ = status;
    DWORD events = 0;
    if (changed & MS_CTS_ON) events |= EV_CTS;
    if (changed & MS_DSR_ON) events |= EV_DSR;
    if (changed & MS_RLSD_ON) events |= EV_RLSD;
    if (ringCameOn) events |= EV_RING;
    RaiseLocked(events);
}

void TCommDriver::ReportRing() {
    std::lock_guard guard(lock_);
    RaiseLocked(EV_RING);
}

bool TCommDriver::BeginOutput(const BYTE*& data, std::size_t& count) {
    std::lock_guard guard(lock_);
    if (outputBusy_ || writes_.empty() || lost_) return false;
    const TPendingWrite& oldest = writes_.front();
    data = oldest.Data + oldest.Done;
    count = oldest.Count - oldest.Done;
    outputBusy_ = true;
    return true;
}

void TCommDriver::EndOutput(std::size_t sent) {
    std::unique_lock guard(lock_);
    outputBusy_ = false;
    if (!writes_.empty()) {
        TPendingWrite& oldest = writes_.front();
        oldest.Done += std::min(sent, oldest.Count - oldest.Done);
        if (oldest.Done == oldest.Count) {
            CompleteLocked(*oldest.Overlapped, ERROR_SUCCESS, static_cast<DWORD>(oldest.Count));
            writes_.pop_front();
            if (writes_.empty()) RaiseLocked(EV_TXEMPTY);
        }
    }
    if (lost_) FailWritesLocked(guard, ERROR_BAD_COMMAND);
    outputIdle_.notify_all();
}

bool TCommDriver::OutputPending() const {
    std::lock_guard guard(lock_);
    return !writes_.empty() && !lost_;
}

void TCommDriver::MarkLost() {
    std::lock_guard guard(lock_);
    if (lost_) return;
    lost_ = true;
    CompleteWaitLocked(0, ERROR_BAD_COMMAND);
    // A write the line is working on fails in EndOutput; the others fail now.
    const std::size_t keep = outputBusy_ && !writes_.empty() ? 1 : 0;
    while (writes_.size() > keep) {
        CompleteLocked(*writes_.back().Overlapped, ERROR_BAD_COMMAND, static_cast<DWORD>(writes_.back().Done));
        writes_.pop_back();
    }
}

bool TCommDriver::IsLost() const {
    std::lock_guard guard(lock_);
    return lost_;
}

bool TCommDriver::TryGather() {
    const std::lock_guard guard(GathererLock);
    TCommDriver* const present = Gatherer.load();
    if (present != nullptr && present != this) return false;
    Gatherer.store(this);
    return true;
}

void TCommDriver::StopGathering() {
    if (Gatherer.load() != this) return;
    const std::lock_guard guard(GathererLock);
    if (Gatherer.load() == this) Gatherer.store(nullptr);
}

void TCommDriver::HandOverGatheredElsewhere() {
    const TCommDriver* const seen = Gatherer.load();
    if (seen == nullptr || seen == this) return;
    const std::lock_guard guard(GathererLock);
    TCommDriver* const present = Gatherer.load();
    if (present != nullptr && present != this) present->LineHandOverGathered();
}

void TCommDriver::ShutdownDriver() {
    StopGathering();
    std::unique_lock guard(lock_);
    if (shutDown_) return;
    shutDown_ = true;
    CompleteWaitLocked(0, ERROR_OPERATION_ABORTED);
    FailWritesLocked(guard, ERROR_OPERATION_ABORTED);
}

}  // namespace afp
