#include "serial/AfComPortCore.h"

#include "platform/Trace.h"
#include "serial/AfComPortCoreThreads.h"

#include <mutex>
#include <system_error>

int Win32PriorityOf(TThreadPriority priority) {
    switch (priority) {
        case tpIdle: return THREAD_PRIORITY_IDLE;
        case tpLowest: return THREAD_PRIORITY_LOWEST;
        case tpLower: return THREAD_PRIORITY_BELOW_NORMAL;
        case tpNormal: return THREAD_PRIORITY_NORMAL;
        case tpHigher: return THREAD_PRIORITY_ABOVE_NORMAL;
        case tpHighest: return THREAD_PRIORITY_HIGHEST;
        case tpTimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

TAfComPortCore::TAfComPortCore() = default;

TAfComPortCore::~TAfComPortCore() { CloseDevice(); }

void TAfComPortCore::Fail(const std::string& message, DWORD deviceError) {
    if (deviceError != ERROR_SUCCESS)
        afp::Trace(afp::TTraceArea::Serial, DeviceName(), ": ", message, ", the device layer said ",
                   afp::TWin32Error{deviceError});
    else
        afp::Trace(afp::TTraceArea::Serial, DeviceName(), ": ", message);
    throw EAfComPortCoreError(message);
}

std::string TAfComPortCore::DeviceName() const { return AfFormat("COM%d", comNumber_); }

bool TAfComPortCore::OpenDevice(std::int32_t comNumber) {
    if (opened_) return false;
    if (comNumber <= 0) {
        // Not through Fail: the number is not this core's.
        afp::Trace(afp::TTraceArea::Serial, "COM", comNumber, ": no such number");
        throw EAfComPortCoreError(AfFormat("Invalid port number (COM%d)", comNumber));
    }
    comNumber_ = comNumber;
    device_.reset();
    afp::Trace(afp::TTraceArea::Serial, DeviceName(), ": opening at ", dcb_, ", queues ", inQueueSize_, "/",
               outQueueSize_);
    RunOpenSequence();
    opened_ = true;
    afp::Trace(afp::TTraceArea::Serial, DeviceName(), ": open, threads running");
    return true;
}

void TAfComPortCore::RunOpenSequence() {
    device_ = afp::OpenCommDevice(DeviceName());
    if (!device_) {
        const DWORD error = afp::LastError();
        if (error == ERROR_FILE_NOT_FOUND) Fail(AfFormat("Invalid port number (COM%d)", comNumber_), error);
        Fail(AfFormat("Can't open device COM%d", comNumber_), error);
    }
    eventThread_.reset();
    writeThread_.reset();
    try {
        const COMMTIMEOUTS immediateReads{MAXDWORD, 0, 0, 0, 0};
        if (!device_->SetCommTimeouts(immediateReads)) Fail("Error setting timeouts", afp::LastError());
        if (!device_->SetupComm(static_cast<DWORD>(inQueueSize_), static_cast<DWORD>(outQueueSize_)))
            Fail("Error initializing buffers", afp::LastError());
        if (!device_->SetCommMask(eventMask_)) Fail(" Error setting EventMask", afp::LastError());
        ApplyDcb();
        {
            std::lock_guard guard(ReadLock);
            lineErrors_ = 0;
        }
        try {
            writeThread_ = std::make_unique<TAfComPortWriteThread>(*this);
        } catch (const std::system_error&) {
            Fail("Error creating threads");
        }
        if (!afp::WaitForEvent(ThreadStarted, ThreadStartLimitMs)) Fail("Error creating threads");
        writeThread_->SetPriority(writePriority_);
        active_ = true;
        try {
            eventThread_ = std::make_unique<TAfComPortEventThread>(*this);
        } catch (const std::system_error&) {
            reader_ = nullptr;
            Fail("Error creating threads");
        }
        if (!afp::WaitForEvent(ThreadStarted, ThreadStartLimitMs)) Fail("Error creating threads");
        eventThread_->SetPriority(eventPriority_);
    } catch (...) {
        RunCloseSequence();
        throw;
    }
}

void TAfComPortCore::CloseDevice() {
    if (!opened_) return;
    RunCloseSequence();
    opened_ = false;
    afp::Trace(afp::TTraceArea::Serial, DeviceName(), ": closed");
}

void TAfComPortCore::RunCloseSequence() {
    if (!device_) return;
    active_ = false;
    {
        std::lock_guard guard(ReadLock);
        device_->PurgeComm(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    // The threads are stopped without holding ReadLock: the event thread's
    // idle poll may have passed its Active check just before it was cleared
    // and be waiting for ReadLock, and would then never see its CloseEvent.
    if (writeThread_) {
        writeThread_->Shutdown();
        writeThread_.reset();
    }
    if (eventThread_) {
        eventThread_->Shutdown();
        reader_ = nullptr;
        eventThread_.reset();
    }
    device_.reset();
}

void TAfComPortCore::SetDcb(const DCB& dcb) {
    dcb_ = dcb;
    if (!active_) return;
    ApplyDcb();
}

void TAfComPortCore::ApplyDcb() {
    if (device_->SetCommState(dcb_)) return;
    const DWORD error = afp::LastError();
    const DCB asked = dcb_;
    device_->GetCommState(dcb_);
    afp::Trace(afp::TTraceArea::Serial, DeviceName(), ": settings asked ", asked, ", the device keeps ", dcb_);
    Fail("Error setting parameters from DCB", error);
}

void TAfComPortCore::SetEventPriority(TThreadPriority priority) {
    if (priority == eventPriority_) return;
    eventPriority_ = priority;
    if (active_ && eventThread_) eventThread_->SetPriority(priority);
}

void TAfComPortCore::SetWritePriority(TThreadPriority priority) {
    if (priority == writePriority_) return;
    writePriority_ = priority;
    if (active_ && writeThread_) writeThread_->SetPriority(priority);
}

bool TAfComPortCore::QueueBytes(const void* data, std::int32_t count) {
    if (!active_ || count < 1) return false;
    return writeThread_->Enqueue(data, count);
}

std::int32_t TAfComPortCore::ReadBytes(void* buffer, std::int32_t count, afp::TArrivalChunks* chunks) {
    if (!active_) return -1;
    std::lock_guard guard(ReadLock);
    TAfComPortEventThread* reader = reader_.load();
    return reader ? reader->ReadBytes(buffer, count, chunks) : 0;
}

void TAfComPortCore::QueryComStat(COMSTAT& stat) {
    stat = COMSTAT{};
    if (!active_) return;
    std::lock_guard guard(ReadLock);
    DWORD errors = 0;
    if (device_->ClearCommError(&errors, &stat))
        lineErrors_ |= errors;
    else
        stat = COMSTAT{};
}

DWORD TAfComPortCore::TakeLineErrors() {
    if (!active_) return 0;
    std::lock_guard guard(ReadLock);
    const DWORD errors = lineErrors_;
    lineErrors_ = 0;
    return errors;
}

DWORD TAfComPortCore::ModemStatusBits() {
    DWORD status = 0;
    if (!active_ || !device_->GetCommModemStatus(status)) return 0;
    return status;
}

bool TAfComPortCore::SendEscape(DWORD function) { return active_ && device_->EscapeCommFunction(function); }

std::int32_t TAfComPortCore::OutputSpace() {
    if (!active_) return 0;
    std::lock_guard guard(WriteLock);
    return writeThread_ ? writeThread_->FreeSpace() : 0;
}
