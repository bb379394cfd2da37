#pragma once
// The connected-standby monitor: a real-time ETW session on the kernel power
// provider, a consumer thread, and a callback that runs its owner's action
// (the service's mode check) when the machine leaves connected standby
// (event 507).

#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>

#include <atomic>

class CLogFile;

// The monitor's state. The service object holds it; the monitor works on any
// holder of these three fields and a log pointer.
struct PowerEtwFields {
  EVENT_TRACE_PROPERTIES* etwProperties = nullptr;  // 156-byte process-heap block
  HANDLE etwThread = nullptr;                       // consumer thread
  TRACEHANDLE etwSession = 0;                       // non-zero: something to tear down
};

// What the owner of the monitor does when the machine leaves connected
// standby. Runs on the consumer thread; the callback returns when it has.
using StandbyExitAction = void (*)() noexcept;

// Starts (or attaches to) the session and starts the consumer thread; from
// then on every event 507 runs `onStandbyExit` (null: the event is only
// logged). Writes its lines through `log` (may be null). Quiet on failure.
void RegisterPowerETW(PowerEtwFields& monitor, CLogFile* log, StandbyExitAction onStandbyExit) noexcept;

// Ends the consumer thread and frees the monitor's resources, also when the
// session could not be started; returns within 5000 ms whatever the consumer
// does. Once it has begun, no callback starts a check or writes a line; a
// check already running may finish afterwards, and reaches nothing that the
// stop released. The trace session itself is left running.
void StopPowerETW(PowerEtwFields& monitor) noexcept;

// For any object that carries the three fields and the log pointer `log`.
template <class Service>
void RegisterPowerETW(Service* service, StandbyExitAction onStandbyExit) noexcept {
  RegisterPowerETW(static_cast<PowerEtwFields&>(*service), service->log, onStandbyExit);
}
template <class Service>
void StopPowerETW(Service* service) noexcept {
  StopPowerETW(static_cast<PowerEtwFields&>(*service));
}

DWORD WINAPI PowerETWConsumerThread(LPVOID parameter);
VOID WINAPI EventRecordCallback(PEVENT_RECORD event);

// The processing handle the consumer thread opened; 0 when there is none, and
// all bits set once a stop has been asked. Whoever exchanges a handle out of
// it closes that handle, so it is closed exactly once.
extern std::atomic<TRACEHANDLE> g_etwConsumer;
