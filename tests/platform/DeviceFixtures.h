#pragma once
// Helpers for tests that drive a TCommDevice the way the serial engine does:
// its settings, byte patterns that show loss and reordering, waiting for a
// condition against a deadline, and overlapped operations that never leave a
// dead record or buffer with the device when a test fails half-way.
//
// Everything here runs on the test's threads; a device may be used from
// several of them at once, each record by one.

#include "platform/CommDevice.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kalvaro::test {

using Bytes = std::vector<BYTE>;
using std::chrono::milliseconds;

inline constexpr DWORD EngineEventMask = 0x1B9;
inline constexpr milliseconds ShortLimit{5000};
inline constexpr milliseconds LongLimit{60000};

inline Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Every byte value, in an order that repeats only after a long run.
inline Bytes PatternBytes(std::size_t count, std::uint32_t seed) {
    Bytes bytes(count);
    std::uint32_t state = seed ? seed : 1;
    for (BYTE& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<BYTE>(state >> 11);
    }
    return bytes;
}

// Names the first difference instead of printing megabytes.
inline testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual) {
    const auto [e, a] = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    if (e == expected.end() && a == actual.end()) return testing::AssertionSuccess();
    const auto at = static_cast<std::size_t>(e - expected.begin());
    auto failure = testing::AssertionFailure();
    failure << "expected " << expected.size() << " bytes, got " << actual.size() << "; first difference at " << at;
    if (e != expected.end() && a != actual.end()) failure << " (expected " << int(*e) << ", got " << int(*a) << ")";
    return failure;
}

// Polls condition until it holds or limit has passed; returns its last value.
template <class Condition>
bool WaitUntil(Condition condition, milliseconds limit = ShortLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(milliseconds(1));
    }
}

// 8N1, DTR and RTS on, no flow control: what the monitor opens with.
inline DCB EngineDcb(DWORD baud) {
    DCB dcb = MakeDefaultDcb();
    dcb.BaudRate = baud;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    return dcb;
}

inline COMMTIMEOUTS EngineTimeouts() { return COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0}; }

// The port core's open sequence, steps 4 to 7.
inline testing::AssertionResult ApplyEngineSettings(afp::TCommDevice& device, const DCB& dcb,
                                                    DWORD mask = EngineEventMask) {
    if (!device.SetCommTimeouts(EngineTimeouts()))
        return testing::AssertionFailure() << "SetCommTimeouts failed, error " << afp::LastError();
    if (!device.SetupComm(8192, 4096))
        return testing::AssertionFailure() << "SetupComm failed, error " << afp::LastError();
    if (!device.SetCommMask(mask))
        return testing::AssertionFailure() << "SetCommMask failed, error " << afp::LastError();
    if (!device.SetCommState(dcb))
        return testing::AssertionFailure() << "SetCommState failed, error " << afp::LastError();
    return testing::AssertionSuccess();
}

// cbInQue and cbOutQue; the line errors are left for the caller.
inline COMSTAT QueueStatus(afp::TCommDevice& device) {
    COMSTAT stat{};
    device.ClearCommError(nullptr, &stat);
    return stat;
}

// One WaitCommEvent with its own record. If the wait is still outstanding
// when this goes away, it is completed by re-setting the device's mask; a
// device that does not end it ends the test program (EndStuckRun), as the
// record would be gone while the device may still write to it.
class TCommWait {
public:
    explicit TCommWait(afp::TCommDevice& device) : device_(&device) {}
    ~TCommWait() {
        if (device_ && started_ && !event_.IsSignalled()) {
            DWORD mask = 0;
            device_->GetCommMask(mask);
            {
                TCallLimit limit(ShortLimit, "SetCommMask with a comm-event wait outstanding");
                device_->SetCommMask(mask);
            }
            if (!Signalled()) EndStuckRun("a comm-event wait was still outstanding after SetCommMask");
        }
    }
    TCommWait(const TCommWait&) = delete;
    TCommWait& operator=(const TCommWait&) = delete;

    // WaitCommEvent's own result; LastError() is left as it set it.
    bool Start() {
        mask_ = 0xDEAD;
        const bool done = device_->WaitCommEvent(mask_, overlapped_);
        const DWORD error = afp::LastError();
        started_ = done || error == ERROR_IO_PENDING;
        afp::SetLastError(error);
        return done;
    }
    // Starts until a wait is left outstanding, taking events that were kept
    // from before (a test that needs a quiet start calls this). False when a
    // wait could not be armed.
    bool StartOutstanding() {
        for (int i = 0; i < 10; ++i) {
            if (!Start()) return afp::LastError() == ERROR_IO_PENDING;
        }
        return false;
    }
    bool Signalled(milliseconds limit = ShortLimit) {
        return afp::WaitForEvent(event_, static_cast<DWORD>(limit.count()));
    }
    // GetOverlappedResult without waiting, as the engine's event thread asks.
    bool Result() {
        DWORD transferred = 0;
        return device_->GetOverlappedResult(overlapped_, transferred, false);
    }
    DWORD Mask() const { return mask_; }
    afp::TKernelEvent& Event() { return event_; }
    afp::TOverlapped& Overlapped() { return overlapped_; }
    // The device is gone; nothing may be asked of it any more.
    void Detach() { device_ = nullptr; }

private:
    afp::TCommDevice* device_;
    afp::TKernelEvent event_{true};
    afp::TOverlapped overlapped_{&event_};
    DWORD mask_ = 0;
    bool started_ = false;
};

// One WriteFile with its own record and buffer. If the write is still
// outstanding when this goes away, it is aborted first, so the device never
// holds a buffer that is gone; a device that does not end it ends the test
// program (EndStuckRun).
class TOverlappedWrite {
public:
    TOverlappedWrite(afp::TCommDevice& device, Bytes data) : device_(&device), data_(std::move(data)) {}
    ~TOverlappedWrite() {
        if (device_ && started_ && !event_.IsSignalled()) Abort();
    }
    TOverlappedWrite(const TOverlappedWrite&) = delete;
    TOverlappedWrite& operator=(const TOverlappedWrite&) = delete;

    // WriteFile's own result; LastError() is left as it set it.
    bool Start() {
        DWORD written = 0;
        const bool done = device_->WriteFile(data_.data(), static_cast<DWORD>(data_.size()), written, overlapped_);
        const DWORD error = afp::LastError();
        started_ = done || error == ERROR_IO_PENDING;
        afp::SetLastError(error);
        return done;
    }
    bool Started() const { return started_; }
    bool Signalled(milliseconds limit = ShortLimit) {
        return afp::WaitForEvent(event_, static_cast<DWORD>(limit.count()));
    }
    // Waits up to limit for the write to complete, then GetOverlappedResult.
    // A write still outstanding then is aborted, so a broken backend fails
    // the test instead of hanging it; WatchdogFired() tells.
    bool Finish(milliseconds limit = LongLimit) {
        if (started_ && !Signalled(limit)) {
            watchdogFired_ = true;
            Abort();
        }
        transferred_ = 0;
        return device_->GetOverlappedResult(overlapped_, transferred_, false);
    }
    DWORD Transferred() const { return transferred_; }
    bool WatchdogFired() const { return watchdogFired_; }
    const Bytes& Data() const { return data_; }
    afp::TKernelEvent& Event() { return event_; }
    afp::TOverlapped& Overlapped() { return overlapped_; }
    // The device is gone; nothing may be asked of it any more.
    void Detach() { device_ = nullptr; }

private:
    void Abort() {
        {
            TCallLimit limit(ShortLimit, "PurgeComm(PURGE_TXABORT) with a write outstanding");
            device_->PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR);
        }
        if (!Signalled()) EndStuckRun("a write was still outstanding after PurgeComm(PURGE_TXABORT)");
    }

    afp::TCommDevice* device_;
    Bytes data_;
    afp::TKernelEvent event_{true};
    afp::TOverlapped overlapped_{&event_};
    DWORD transferred_ = 0;
    bool started_ = false;
    bool watchdogFired_ = false;
};

// Reads until count bytes came, limit passed or ReadFile failed. Sleeps in
// comm-event waits between reads, so the device's mask must include
// EV_RXCHAR and no other wait may be outstanding on it.
inline Bytes ReadFromDevice(afp::TCommDevice& device, std::size_t count, milliseconds limit = ShortLimit) {
    Bytes received;
    Bytes chunk(64 * 1024);
    afp::TKernelEvent readEvent(true);
    afp::TOverlapped readRecord{&readEvent};
    std::unique_ptr<TCommWait> wait;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (received.size() < count) {
        DWORD read = 0;
        const auto ask = static_cast<DWORD>(std::min(chunk.size(), count - received.size()));
        if (!device.ReadFile(chunk.data(), ask, read, readRecord)) break;
        if (read > 0) {
            received.insert(received.end(), chunk.begin(), chunk.begin() + read);
            continue;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (!wait) {
            wait = std::make_unique<TCommWait>(device);
            if (wait->Start()) {
                wait.reset();  // something happened meanwhile: read again
                continue;
            }
            if (afp::LastError() != ERROR_IO_PENDING) break;
        }
        // Short slices: an event other than EV_RXCHAR may complete the wait
        // just before bytes come, and then the next wait is armed anew.
        if (wait->Signalled(std::min(left, milliseconds(200)))) wait.reset();
    }
    return received;
}

}  // namespace kalvaro::test
