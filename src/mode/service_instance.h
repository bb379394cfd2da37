#pragma once
// The concrete service: queues the worker at start, stops it at stop, and
// runs a mode check on resume from suspend and on console connect. The worker
// subscribes to the firmware's usage-mode event, runs the first check, starts
// the connected-standby monitor and then waits until it is told to stop.

#include <windows.h>

#include "common/scoped_handle.h"
#include "etw/power_etw.h"
#include "service/service_base.h"

class CLogFile;
class CWMIClient;

// The service's own key under HKEY_LOCAL_MACHINE, made sure of at start.
inline constexpr wchar_t kServiceRegistryKey[] = L"SOFTWARE\\OEM\\TVRSvc";

class CServiceInstance : public CServiceBase, public PowerEtwFields {
 public:
  // Service name "TVRSvc" (kModuleName). Takes ownership of `log` (may be
  // null) and publishes it as g_log. Throws
  // the GetLastError() code (DWORD) when an event cannot be created; the log
  // object is retired with the half-built object then.
  explicit CServiceInstance(CLogFile* log);
  // Closes the two events; the base part then retires the log object. Leaves
  // the worker's client and monitor alone: they belong to the worker.
  ~CServiceInstance() override;

  // Fields after the monitor's three (PowerEtwFields).
  tvr::ScopedKernelHandle stoppedEvent;    // manual reset; the worker's teardown is done
  tvr::ScopedKernelHandle stopEvent;       // manual reset; the worker is told to stop
  // Owned by the worker, which creates and destroys it on its own thread (the
  // client balances COM there); the destructor leaves it alone.
  CWMIClient* wmiClient = nullptr;

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
// event, teardown, then the stopped event.
void ServiceWorkerThread(CServiceInstance* service) noexcept;
