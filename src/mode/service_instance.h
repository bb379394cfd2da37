#pragma once
// The concrete service: queues the worker at start, stops it at stop, and
// runs a mode check on resume from suspend and on console connect. The worker
// subscribes to the firmware's usage-mode event, runs the first check, starts
// the connected-standby monitor and then waits until it is told to stop.

#include <windows.h>

#include <memory>

#include "common/scoped_handle.h"
#include "etw/power_etw.h"
#include "service/service_base.h"

class CLogFile;
class CWMIClient;

// The service's own key under HKEY_LOCAL_MACHINE, made sure of at start.
inline constexpr wchar_t kServiceRegistryKey[] = L"SOFTWARE\\OEM\\TVRSvc";

// What the worker works on: the two events, the long-lived client and the
// monitor's three fields. The service object and its worker each hold it, and
// the last to let go frees it. At system shutdown the entry destroys the
// service object while the worker may still be setting up; the worker then
// finishes on this state, tears down and ends without touching the dead
// object, and nobody waits for it.
struct ServiceWorkerState : PowerEtwFields {
  // The service's log object. Written to only through LogLine, which writes
  // nothing once the object has been retired with the service.
  CLogFile* log = nullptr;
  tvr::ScopedKernelHandle stoppedEvent;  // manual reset; the worker's teardown is done
  tvr::ScopedKernelHandle stopEvent;     // manual reset; the worker is told to stop
  // Created and destroyed by the worker on its own thread (the client
  // balances COM there).
  CWMIClient* wmiClient = nullptr;
};

class CServiceInstance : public CServiceBase {
 public:
  // Service name "TVRSvc" (kModuleName). Takes ownership of `log` (may be
  // null) and publishes it as g_log. Throws the GetLastError() code (DWORD)
  // when an event cannot be created, ERROR_NOT_ENOUGH_MEMORY when the
  // worker's state cannot be had; the log object is retired with the
  // half-built object then.
  explicit CServiceInstance(CLogFile* log);
  // Tells a worker that is still running to stop and lets go of the worker's
  // state without waiting for it; the base part then retires the log object.
  ~CServiceInstance() override;

  // Shared with the queued worker; set for the object's whole life.
  std::shared_ptr<ServiceWorkerState> worker;

 protected:
  // Writes its entries and lines, ensures the registry key and queues the
  // worker. Throws the GetLastError() code when the worker cannot be queued.
  void OnStart(DWORD argc, LPWSTR* argv) override;
  // Signals the worker and waits for its teardown. Throws the GetLastError()
  // code when the wait fails.
  void OnStop() override;
  // Logs the event; PBT_APMRESUMESUSPEND runs a mode check.
  void OnPowerEvent(DWORD eventType, LPVOID eventData) override;
  // Logs the event; WTS_CONSOLE_CONNECT runs a mode check. `eventData` is a
  // WTSSESSION_NOTIFICATION.
  void OnSessionChange(DWORD eventType, LPVOID eventData) override;
};

// The worker's whole life, on a thread-pool thread: set-up, wait for the stop
// event, teardown, then the stopped event. Works on the worker's state alone.
void ServiceWorkerThread(ServiceWorkerState& worker) noexcept;
