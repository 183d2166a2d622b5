#pragma once
// The built-in virtual devices and the hooks that tests (and the demo) use.
//
// A null-modem pair "virtual:<pair>/A" + "virtual:<pair>/B": bytes written on
// one end arrive at the other at the configured baud rate (start bit, data
// bits, parity and stop bits all count); RTS of one end drives CTS of the
// other, DTR drives DSR and RLSD. A pair exists from its first use until the
// process ends; each end can be open once at a time (a second open is busy).
//
// A loopback plug "virtual:loop/<name>": what the device writes it receives
// back at the baud rate; RTS drives its own CTS, DTR its own DSR and RLSD.
//
// A receiving end whose input queue is full holds the sender (nothing is
// lost), as a flow-controlled cable would; the DCB's flow-control flags are
// accepted and otherwise ignored. Bytes written while the other end is closed
// go out at the baud rate and are lost.
//
// An end keeps its settings between opens: GetCommState reports the last DCB
// applied on it, at first 9600 baud 8N1 with DTR and RTS enabled. Opening
// raises DTR and RTS as that DCB's controls say (DISABLE off, any other
// control on); closing drops them. SETBREAK reaches the other end as a break.
// Pair and plug names are made of letters, digits, '_', '.' and '-'; "loop"
// is reserved for loopback plugs. Any other virtual name is not found.
//
// Thread rule: every hook may be called from any thread, whether the end is
// open or not.

#include "platform/Win32Types.h"

#include <string>

namespace afp::virt {

enum class TEnd { A, B };

// Device names: EndName("demo", TEnd::A) == "virtual:demo/A".
std::string EndName(const std::string& pair, TEnd end);
std::string LoopName(const std::string& plug);

// Operations whose refusal tests can force on an end.
enum class TRefusable { SetCommTimeouts, SetupComm, SetCommMask, SetCommState };

// Hooks addressed by a device name (an end or a loopback plug); a name that
// is not a virtual device is ignored.
// RING: pulses the ring indicator seen by this end (EV_RING).
void Ring(const std::string& device);
// Line errors (CE_ bits) seen by this end's receiver (EV_ERR; ClearCommError).
void InjectLineErrors(const std::string& device, DWORD errors);
// While stalled, nothing this end writes leaves it: its writes stay pending.
void StallWrites(const std::string& device, bool stalled);
// Unplugging loses the open device (see the loss rules in CommDevice.h),
// drops its lines and makes opening the name fail with ERROR_FILE_NOT_FOUND
// until plugged again; the lost device no longer holds the end, so a plugged
// end opens again even while the lost device still exists. Both wake the
// device watchers (DeviceWatcher.h), as a USB adapter's coming and going
// would.
void Unplug(const std::string& device);
void Plug(const std::string& device);
// While set, the operation fails on this end with ERROR_GEN_FAILURE.
// SetCommState's refusal leaves the end's previous settings in force.
void Refuse(const std::string& device, TRefusable operation, bool refused);
// The present output lines of an end as its peer sees them, for tests:
// MS_ bits of the peer (CTS from RTS, DSR and RLSD from DTR).
DWORD PeerModemStatus(const std::string& device);

}  // namespace afp::virt
