#include "serial/AfComPortCoreThreads.h"

#include "platform/FrameTicks.h"
#include "platform/ProgramInfo.h"
#include "platform/ThreadPriority.h"
#include "platform/Trace.h"
#include "serial/AfGuiCalls.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <typeinfo>
#include <utility>

namespace {

// "Exception <class> in module <program> at <address>.\n<message>[.]"
std::string DescribeException(std::exception_ptr error) {
    std::string className = "unknown exception";
    std::string message;
    const void* address = nullptr;
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        className = afp::ReadableTypeName(typeid(e));
        message = e.what();
        address = &e;
    } catch (...) {
    }
    const char* fullStop = !message.empty() && message.back() == '.' ? "" : ".";
    return AfFormat("Exception %s in module %s at %p.\n%s%s", className.c_str(), afp::ProgramFileName().c_str(),
                    address, message.c_str(), fullStop);
}

bool IsSilentAbort(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

// An exception that escaped a thread's work or its owner's handler.
void TraceException(const TAfComPortCore& core, const std::exception_ptr& error) {
    if (!afp::TraceOn(afp::TTraceArea::Serial) || IsSilentAbort(error)) return;
    std::string description = DescribeException(error);
    std::replace(description.begin(), description.end(), '\n', ' ');
    afp::Trace(afp::TTraceArea::Serial, core.DeviceName(), ": port thread: ", description);
}

}  // namespace

// ---- base ----

TAfComPortCoreThread::TAfComPortCoreThread(TAfComPortCore& core) : Core(&core), Device(core.DeviceHandle()) {}

TAfComPortCoreThread::~TAfComPortCoreThread() {
    if (thread_.joinable()) thread_.join();
}

void TAfComPortCoreThread::Start() {
    thread_ = std::thread([this] { Run(); });
}

void TAfComPortCoreThread::Run() {
    threadId_.store(afp::CurrentThreadId());
    try {
        Execute();
    } catch (...) {
        TraceException(*Core, std::current_exception());
        ReportException(std::current_exception());
    }
    ended_.Set();
}

void TAfComPortCoreThread::Shutdown() {
    Terminate();
    CloseEvent.Set();
    AfWaitForThreadEnd(ended_);
    if (thread_.joinable()) thread_.join();
}

void TAfComPortCoreThread::SetPriority(TThreadPriority priority) {
    if (const std::int64_t id = threadId_.load(); id != 0) afp::SetThreadPriority(id, Win32PriorityOf(priority));
}

void TAfComPortCoreThread::ReportException(std::exception_ptr error) {
    if (IsSilentAbort(error)) return;
    AfShowApplicationError(DescribeException(std::move(error)));
}

// ---- event thread ----

TAfComPortEventThread::TAfComPortEventThread(TAfComPortCore& core)
    : TAfComPortCoreThread(core), handler_(core.CoreEventHandler), handlerSet_(static_cast<bool>(handler_)) {
    waitRecord_.Event = &waitEvent_;
    readRecord_.Event = &readEvent_;
    core.reader_ = this;
    Start();
}

TAfComPortEventThread::~TAfComPortEventThread() = default;

void TAfComPortEventThread::Shutdown() {
    handlerSet_.store(false);
    Terminate();
    // Changing the mask completes the outstanding wait with an empty mask.
    Device->SetCommMask(0);
    Device->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR);
    TAfComPortCoreThread::Shutdown();
}

void TAfComPortEventThread::Execute() {
    Core->OutputDrained.Reset();
    // What woke the wait, in the set's order.
    enum : DWORD { WokeClose = WAIT_OBJECT_0, WokeCommEvent, WokeDrained };
    afp::TKernelEvent* const waitSet[] = {&CloseEvent, &waitEvent_, &Core->OutputDrained};
    pending_ = false;
    armed_ = false;
    // The mask is set before this thread starts and stays while it runs.
    DWORD mask = 0;
    const bool arrivalsWake = Device->GetCommMask(mask) && (mask & EV_RXCHAR);
    // After an idle poll found the input queue empty: nothing can be left
    // waiting until a byte arrives, and an armed wait that watches arrivals
    // ends on that byte. The thread then waits without a time-out, so an
    // open, quiet port costs no wake-ups.
    bool quiet = false;
    Core->ThreadStarted.Set();

    while (!Terminated()) {
        if (!pending_) {
            if (Device->WaitCommEvent(eventResult_, waitRecord_)) {
                ProcessCommEvent();
            } else if (const DWORD error = afp::LastError(); error == ERROR_IO_PENDING) {
                pending_ = true;
                armed_ = true;
            } else {
                WaitFailed(error);
            }
        }
        if (!pending_) continue;

        const DWORD result = afp::WaitForAny(waitSet, quiet && armed_ ? INFINITE : IdlePollMs);
        quiet = false;
        switch (result) {
            case WokeClose: Terminate(); break;
            case WokeCommEvent: {
                DWORD unused = 0;
                if (Device->GetOverlappedResult(waitRecord_, unused, false)) {
                    pending_ = false;
                    ProcessCommEvent();
                } else if (const DWORD error = afp::LastError(); error != ERROR_IO_INCOMPLETE) {
                    waitEvent_.Reset();
                    WaitFailed(error);
                }
                break;
            }
            case WokeDrained: RaiseCoreEvent(ckOutputDrained, 0); break;
            case WAIT_TIMEOUT: {
                COMSTAT stat{};
                Core->QueryComStat(stat);
                if (stat.cbInQue > 0)
                    RaiseCoreEvent(ckDataWaiting, stat.cbInQue);
                else
                    quiet = arrivalsWake;
                break;
            }
            default: break;
        }
    }
}

void TAfComPortEventThread::ProcessCommEvent() {
    waitEvent_.Reset();
    armed_ = false;
    if (eventResult_ == 0) {
        // Only Shutdown clears the mask: arm no further waits from here on.
        pending_ = true;
        return;
    }
    RaiseCoreEvent(ckCommEvent, eventResult_);
    if (eventResult_ != EV_RXCHAR) return;
    // A line that trickles would wake this thread for every piece. Bytes
    // that arrive while no wait is armed are kept as one EV_RXCHAR (with any
    // other event) by the device, so a pause before re-arming turns the
    // pieces until the next frame tick into one event; the close still ends
    // it at once. Ending it at a tick makes both ports' pauses end together,
    // when a gathering device hands over too. A device that hands over about
    // once a frame itself needs no pause: it starts only when arrivals come
    // closer together than CrowdedMs.
    const auto now = afp::TFrameClock::now();
    const bool crowded = now - lastArrival_ < std::chrono::milliseconds(CrowdedMs);
    lastArrival_ = now;
    if (!crowded) return;
    const auto pause = std::chrono::ceil<std::chrono::milliseconds>(afp::NextFrameTick(now) - now);
    afp::TKernelEvent* const closeSet[] = {&CloseEvent};
    if (afp::WaitForAny(closeSet, static_cast<DWORD>(pause.count())) == WAIT_OBJECT_0) Terminate();
}

// A comm event wait that fails will fail again at once: re-arming would spin.
// The thread stops arming waits and stays on its wait set (idle polls, drained
// output, the close); a failure other than the close's own abort means the
// device has gone, which the owner hears once.
void TAfComPortEventThread::WaitFailed(DWORD error) {
    pending_ = true;
    armed_ = false;
    if (error == ERROR_OPERATION_ABORTED || Terminated() || lossReported_) return;
    lossReported_ = true;
    afp::Trace(afp::TTraceArea::Serial, Core->DeviceName(), ": device lost, its event wait failed with ",
               afp::TWin32Error{error});
    RaiseCoreEvent(ckDeviceLost, error);
}

void TAfComPortEventThread::RaiseCoreEvent(TAfCoreEvent kind, DWORD data) {
    if (!handlerSet_.load()) return;
    try {
        handler_(Core, kind, data, nullptr);
    } catch (...) {
        TraceException(*Core, std::current_exception());
        ReportException(std::current_exception());
    }
}

void TAfComPortEventThread::ReportException(std::exception_ptr error) {
    if (IsSilentAbort(error)) return;
    if (!handlerSet_.load()) {
        TAfComPortCoreThread::ReportException(error);
        return;
    }
    try {
        handler_(Core, ckThreadException, 0, error);
    } catch (...) {
        TAfComPortCoreThread::ReportException(std::current_exception());
    }
}

std::int32_t TAfComPortEventThread::ReadBytes(void* buffer, std::int32_t count, afp::TArrivalChunks* chunks) {
    if (count < 1) return 0;
    DWORD read = 0;
    const std::size_t known = chunks ? chunks->size() : 0;
    const bool done = chunks ? Device->ReadFileTimed(buffer, static_cast<DWORD>(count), read, readRecord_, *chunks)
                             : Device->ReadFile(buffer, static_cast<DWORD>(count), read, readRecord_);
    if (!done) {
        read = 0;
        if (afp::LastError() == ERROR_IO_PENDING && Device->GetOverlappedResult(readRecord_, read, true))
            readEvent_.Reset();
        // A read that the device left pending told no times: its bytes
        // arrived by now.
        if (chunks) {
            chunks->resize(known);
            if (read > 0) chunks->push_back({read, afp::ArrivalNow()});
        }
    }
    return static_cast<std::int32_t>(read);
}

// ---- write thread ----

TAfComPortWriteThread::TAfComPortWriteThread(TAfComPortCore& core)
    : TAfComPortCoreThread(core), outBuffer_(core.OutQueueSize()) {
    writeRecord_.Event = &writeEvent_;
    Start();
}

TAfComPortWriteThread::~TAfComPortWriteThread() = default;

void TAfComPortWriteThread::Shutdown() {
    PurgeOutput();
    TAfComPortCoreThread::Shutdown();
}

bool TAfComPortWriteThread::Enqueue(const void* data, std::int32_t count) {
    std::lock_guard guard(Core->WriteLock);
    const bool queued = outBuffer_.Write(data, count);
    if (queued) dataQueued_.Set();
    return queued;
}

bool TAfComPortWriteThread::PurgeOutput() {
    purgeRequest_.Set();
    if (!afp::WaitForEvent(purgeAck_, PurgeAnswerLimitMs)) return false;
    bool purged = false;
    {
        std::lock_guard guard(Core->WriteLock);
        dataQueued_.Reset();
        outBuffer_.Clear();
        purged = Device->PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR);
    }
    purgeDone_.Set();
    return purged;
}

void TAfComPortWriteThread::Execute() {
    // What woke a wait, in the sets' order: the third event is the bytes
    // queued while idle, the write's completion while busy.
    enum : DWORD { WokeClose = WAIT_OBJECT_0, WokePurge, WokeWork };
    afp::TKernelEvent* const idleSet[] = {&CloseEvent, &purgeRequest_, &dataQueued_};
    afp::TKernelEvent* const busySet[] = {&CloseEvent, &purgeRequest_, &writeEvent_};
    // After answering a purge the thread holds still until the ring has been
    // cleared, so it cannot start writing bytes that the purge discards.
    auto answerPurge = [this] {
        purgeAck_.Set();
        afp::TKernelEvent* const purgeSet[] = {&CloseEvent, &purgeDone_};
        if (afp::WaitForAny(purgeSet, INFINITE) == WokeClose) Terminate();
    };
    bytesToWrite_ = 0;
    Core->ThreadStarted.Set();

    while (!Terminated()) {
        switch (afp::WaitForAny(idleSet, INFINITE)) {
            case WokeClose: Terminate(); break;
            case WokePurge: answerPurge(); break;
            case WokeWork: {
                const std::uint8_t* start = nullptr;
                {
                    std::lock_guard guard(Core->WriteLock);
                    bytesToWrite_ = static_cast<DWORD>(outBuffer_.ContiguousUsed());
                    start = outBuffer_.ReadPointer();
                }
                if (bytesToWrite_ == 0) break;
                DWORD written = 0;
                if (Device->WriteFile(start, bytesToWrite_, written, writeRecord_)) {
                    CompleteWrite(written);
                } else if (afp::LastError() == ERROR_IO_PENDING) {
                    switch (afp::WaitForAny(busySet, INFINITE)) {
                        case WokeClose: Terminate(); break;
                        case WokePurge:
                            // The purge that follows aborts the outstanding write.
                            answerPurge();
                            break;
                        case WokeWork:
                            if (Device->GetOverlappedResult(writeRecord_, written, true)) CompleteWrite(written);
                            break;
                        default: break;
                    }
                }
                break;
            }
            default: break;
        }
    }
}

void TAfComPortWriteThread::CompleteWrite(DWORD written) {
    writeEvent_.Reset();
    if (written != bytesToWrite_) return;
    {
        std::lock_guard guard(Core->WriteLock);
        outBuffer_.RemoveBytes(static_cast<std::int32_t>(written));
        if (outBuffer_.Used() > 0) {
            dataQueued_.Set();
            return;
        }
    }
    Core->OutputDrained.Set();
}
