#pragma once
// Delivery of calls from worker threads to the GUI thread.
//
// A process-wide table of 64 handler slots. The GUI thread registers a
// handler (it starts disabled), enables and disables it, and gives it back.
// A worker asks for a registered handler to be run with CallSyncHandler: the
// call is carried to the GUI thread and the worker waits, up to its time
// limit, until the handler has run. Delivery is synchronous: there is no
// queue of events behind a slot.
//
// Rules: ids start at 1, grow by one per registration, never repeat and are
// never 0 (0 means "no slot": the table was full). Freed slots are reused
// lowest first. Only an enabled slot with a handler receives calls. A call
// that runs out of time is not withdrawn: the GUI thread still runs it when it
// gets to it, if the slot is still enabled then. CallSyncHandler's result says
// whether the slot is still live afterwards, not whether the handler ran in
// time. A handler that raises has its error shown by the application's error
// handling; the worker's call returns normally.
//
// The GUI thread is the thread of the first registration. While it waits for
// a worker thread to end (AfWaitForThreadEnd) it keeps serving calls, so a
// worker in the middle of a delivery is answered. The same service is the
// engine's TAfGuiCalls (installed by the first registration).
//
// Locking: the table lock is held only for table operations, never while a
// handler runs or a worker waits.

#include "platform/Win32Types.h"

#include <functional>

using TAfSyncHandler = std::function<void()>;

inline constexpr int SyncSlotCount = 64;

DWORD RegisterSyncHandler(TAfSyncHandler handler);
bool UnregisterSyncHandler(DWORD id);
bool EnableSyncHandler(DWORD id, bool enabled);
// Worker threads only.
bool CallSyncHandler(DWORD id, DWORD limitMs);
