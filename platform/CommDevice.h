#pragma once
// The communications device as the serial engine sees it: one open serial
// line, driven with the Win32 comm operations and their semantics.
//
// Backends: a POSIX termios device (real ttys, USB serial adapters, ptys),
// the built-in virtual devices (a null-modem pair and a loopback plug), and on
// Windows the system's own comm devices. All are reached through
// OpenCommDevice(), which on Linux resolves "COM<n>" through the port map and
// on Windows hands it to the system, so the engine never knows which backend
// stands behind a number.
//
// Contract (what every backend guarantees):
//  - Failing operations return false and leave the reason in LastError()
//    of the calling thread. Asynchronous operations that did not complete at
//    once return false with LastError() == ERROR_IO_PENDING.
//  - Reads never wait: the only read time-outs accepted are
//    ReadIntervalTimeout = MAXDWORD with both read totals 0 (anything else is
//    refused with ERROR_NOT_SUPPORTED); ReadFile completes at once with what
//    the driver's input queue holds, 0 bytes included.
//  - The input queue is the driver's own: bytes are taken off the line as soon
//    as they arrive and kept until read. SetupComm's input size is a minimum;
//    the queue holds at least 1 MiB. When it is full the backend stops taking
//    bytes off the line (so the line's own flow control can hold the sender)
//    and reports CE_RXOVER if bytes are lost.
//  - Each run of bytes taken into the input queue keeps the time it was taken
//    (ArrivalTime.h), read inside the queue's lock: a reader that notes the
//    time before it reads and empties the queue has every byte that arrived
//    before that time. ReadFileTimed hands the times out with the bytes; a
//    backend without a queue of its own (Windows, where the system keeps it)
//    can only give the time of the read.
//  - WaitCommEvent completes with the EV_ bits (of the current mask) that
//    occurred. Events that happen while no wait is armed are kept and returned
//    at once by the next wait. Changing the mask with SetCommMask while a wait
//    is outstanding completes that wait with an empty mask. At most one wait
//    may be outstanding.
//  - WriteFile is asynchronous: it completes when every byte has gone to the
//    line. The caller's buffer must stay valid until completion; after
//    PurgeComm(PURGE_TXABORT) returns, the backend no longer touches it.
//  - When the device disappears (USB adapter pulled, pty master closed,
//    virtual end unplugged) the outstanding wait and write complete with
//    ERROR_BAD_COMMAND, and from then on waits, writes, settings, escapes and
//    modem-status queries fail with that error. Bytes already queued can still
//    be read; once the queue is empty ReadFile fails too. Nothing spins.
//  - Devices without modem lines (ptys) report every line off and accept the
//    escape functions without effect.
//  - Destroying the device closes it; an outstanding operation completes with
//    ERROR_OPERATION_ABORTED first.
//
// Thread rule: a device may be used from several threads at once (the engine's
// event thread waits while its writer thread writes and the GUI thread reads);
// each TOverlapped record is used for one operation at a time.

#include "platform/ArrivalTime.h"
#include "platform/KernelObjects.h"
#include "platform/Win32Types.h"

#include <memory>
#include <string>

namespace afp {

// The record of one asynchronous operation. The caller supplies a
// manual-reset event, which the device resets when the operation starts and
// sets when it completes. The other fields belong to the device: read the
// outcome with GetOverlappedResult().
struct TOverlapped {
    TKernelEvent* Event = nullptr;
    DWORD Status = ERROR_SUCCESS;  // ERROR_IO_PENDING while outstanding
    DWORD Transferred = 0;
};

class TCommDevice {
public:
    virtual ~TCommDevice() = default;
    TCommDevice(const TCommDevice&) = delete;
    TCommDevice& operator=(const TCommDevice&) = delete;

    virtual bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) = 0;
    virtual bool GetCommTimeouts(COMMTIMEOUTS& timeouts) = 0;
    virtual bool SetupComm(DWORD inQueue, DWORD outQueue) = 0;
    virtual bool SetCommMask(DWORD mask) = 0;
    virtual bool GetCommMask(DWORD& mask) = 0;
    virtual bool SetCommState(const DCB& dcb) = 0;
    virtual bool GetCommState(DCB& dcb) = 0;
    // errors and stat may be null.
    virtual bool ClearCommError(DWORD* errors, COMSTAT* stat) = 0;
    virtual bool PurgeComm(DWORD flags) = 0;
    virtual bool GetCommModemStatus(DWORD& status) = 0;
    virtual bool EscapeCommFunction(DWORD function) = 0;
    virtual bool WaitCommEvent(DWORD& mask, TOverlapped& overlapped) = 0;
    virtual bool ReadFile(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped) = 0;
    // ReadFile that also tells when the bytes arrived: appends to chunks the
    // runs of the bytes read, oldest first, whose counts add up to read.
    // This default stamps what one read brought with the time of the read.
    virtual bool ReadFileTimed(void* buffer, DWORD count, DWORD& read, TOverlapped& overlapped,
                               TArrivalChunks& chunks) {
        const bool done = ReadFile(buffer, count, read, overlapped);
        if (done && read > 0) chunks.push_back({read, ArrivalNow()});
        return done;
    }
    virtual bool WriteFile(const void* buffer, DWORD count, DWORD& written, TOverlapped& overlapped) = 0;
    virtual bool GetOverlappedResult(TOverlapped& overlapped, DWORD& transferred, bool wait) = 0;

protected:
    TCommDevice() = default;
};

// Opens a device exclusively. name is "COM<n>" (resolved through the port
// map on Linux, opened as the system names it on Windows), a device path such
// as "/dev/ttyUSB0" or "\\.\COM12", or a virtual device name
// ("virtual:<pair>/A", "virtual:<pair>/B", "virtual:loop/<name>").
// On failure returns null with LastError() set: ERROR_FILE_NOT_FOUND when no
// such device exists, another code (ERROR_ACCESS_DENIED when it is busy or
// not permitted) when it exists but cannot be opened.
std::unique_ptr<TCommDevice> OpenCommDevice(const std::string& name);

// Whether the device could be opened now, found out without disturbing
// whoever holds it: no setting and no modem line changes, nothing is kept.
// Returns what OpenCommDevice would leave in LastError(): ERROR_SUCCESS
// when the device is free, ERROR_FILE_NOT_FOUND when there is no such
// device, ERROR_ACCESS_DENIED when it is busy (held by this or another
// program, also where the system would let a second open through: a Linux
// tty that another program has claimed by flock, TIOCEXCL or a UUCP lock
// file) or not permitted.
DWORD ProbeCommDevice(const std::string& name);

// The calling thread's last error, as Win32's GetLastError/SetLastError.
DWORD LastError();
void SetLastError(DWORD error);

}  // namespace afp
