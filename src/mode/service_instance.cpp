#include "mode/service_instance.h"

#include <cstdint>
#include <new>

#include "common/bounded_format.h"
#include "log/log_file.h"
#include "log/log_pointer.h"
#include "mode/mode_check.h"
#include "service/service_platform.h"
#include "wmi/wmi_client.h"

namespace {

// The heap-allocated work item: the routine and its argument, the worker's
// share of its state. The work item owns it once queued.
struct WorkerItem {
  void (*routine)(ServiceWorkerState&) noexcept;
  std::shared_ptr<ServiceWorkerState> argument;
};

// Thread-pool entry: runs the worker for the life of the service, then frees
// its item.
DWORD WINAPI RunWorkerItem(LPVOID parameter) {
  WorkerItem* item = static_cast<WorkerItem*>(parameter);
  item->routine(*item->argument);
  delete item;  // the worker's share of its state goes with it
  return 0;
}

void Line(CLogFile* log, const wchar_t* function, const wchar_t* message) noexcept {
  (void)LogLine(log, kLogInfo, function, message);
}

}  // namespace

CServiceInstance::CServiceInstance(CLogFile* log) : CServiceBase(kModuleName, log) {
  PublishLog(log);
  try {
    worker = std::make_shared<ServiceWorkerState>();
  } catch (const std::bad_alloc&) {
    throw DWORD{ERROR_NOT_ENOUGH_MEMORY};
  }
  worker->log = log;
  worker->stoppedEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!worker->stoppedEvent) throw ::GetLastError();
  worker->stopEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!worker->stopEvent) throw ::GetLastError();
}

// A worker still at work (the service object goes at system shutdown without
// a stop) is told to stop; it tears down once its set-up is done. The events
// close with the last holder of the state; the base part then retires the log.
CServiceInstance::~CServiceInstance() {
  if (worker) ::SetEvent(worker->stopEvent.get());
}

void CServiceInstance::OnStart(DWORD, LPWSTR*) {
  LogEvent(L"PLNX Service in OnStart", EVENTLOG_INFORMATION_TYPE);
  Line(log, L"OnStart", L"PLNX Service in OnStart");

  // The key only has to exist; nothing is read from or written to it.
  tvr::ScopedRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceRegistryKey, 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS) {
    Line(log, L"OnStart", L"Registry not found");
    (void)::RegCreateKeyW(HKEY_LOCAL_MACHINE, kServiceRegistryKey, key.Receive());
  }

  WorkerItem* item = new (std::nothrow) WorkerItem{&ServiceWorkerThread, worker};
  if (item == nullptr) throw DWORD{ERROR_NOT_ENOUGH_MEMORY};
  // The worker blocks for the whole life of the service.
  if (!ServicePlatform().queueUserWorkItem(&RunWorkerItem, item, WT_EXECUTELONGFUNCTION)) {
    const DWORD error = ::GetLastError();
    delete item;
    throw error;
  }
}

void CServiceInstance::OnStop() {
  LogEvent(L"PLNX Service in OnStop", EVENTLOG_INFORMATION_TYPE);
  ::SetEvent(worker->stopEvent.get());
  if (::WaitForSingleObject(worker->stoppedEvent.get(), INFINITE) != WAIT_OBJECT_0) throw ::GetLastError();
}

void CServiceInstance::OnPowerEvent(DWORD eventType, LPVOID eventData) {
  Line(log, L"OnPowerEvent", L"OnPowerEvent Enter");
  wchar_t text[260];
  // The pointer's own value, low 32 bits: the data behind it is not read.
  tvr::FormatBounded(text, L"event_type %x event_data %x", static_cast<unsigned>(eventType),
                     static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(eventData)));
  Line(log, L"OnPowerEvent", text);
  switch (eventType) {
    case PBT_APMSUSPEND:
      Line(log, L"OnPowerEvent", L"PBT_APMSUSPEND");
      break;
    case PBT_APMRESUMESUSPEND:
      Line(log, L"OnPowerEvent", L"PBT_APMRESUMESUSPEND");
      CheckModeWithWMI();
      break;
    case PBT_APMRESUMEAUTOMATIC:
      Line(log, L"OnPowerEvent", L"PBT_APMRESUMEAUTOMATIC");
      break;
    default:
      break;
  }
  Line(log, L"OnPowerEvent", L"OnPowerEvent End");
}

void CServiceInstance::OnSessionChange(DWORD eventType, LPVOID eventData) {
  Line(log, L"OnSessionChange", L"OnSessionChange Enter");
  // The service manager always passes the notification; a missing one is
  // read as session 0 rather than dereferenced.
  const auto* notification = static_cast<const WTSSESSION_NOTIFICATION*>(eventData);
  const DWORD sessionId = notification != nullptr ? notification->dwSessionId : 0;
  wchar_t text[260];
  tvr::FormatBounded(text, L"event_type %x event_data %x", static_cast<unsigned>(eventType),
                     static_cast<unsigned>(sessionId));
  Line(log, L"OnSessionChange", text);

  const wchar_t* name = nullptr;
  switch (eventType) {
    case WTS_CONSOLE_CONNECT: name = L"WTS_CONSOLE_CONNECT"; break;
    case WTS_CONSOLE_DISCONNECT: name = L"WTS_CONSOLE_DISCONNECT"; break;
    case WTS_REMOTE_CONNECT: name = L"WTS_REMOTE_CONNECT"; break;
    case WTS_REMOTE_DISCONNECT: name = L"WTS_REMOTE_DISCONNECT"; break;
    case WTS_SESSION_LOGON: name = L"WTS_SESSION_LOGON"; break;
    case WTS_SESSION_LOGOFF: name = L"WTS_SESSION_LOGOFF"; break;
    case WTS_SESSION_LOCK: name = L"WTS_SESSION_LOCK"; break;
    case WTS_SESSION_UNLOCK: name = L"WTS_SESSION_UNLOCK"; break;
    case WTS_SESSION_REMOTE_CONTROL: name = L"WTS_SESSION_REMOTE_CONTROL"; break;
    case WTS_SESSION_CREATE: name = L"WTS_SESSION_CREATE"; break;
    case WTS_SESSION_TERMINATE: name = L"WTS_SESSION_TERMINATE"; break;
    default: break;
  }
  if (name != nullptr) Line(log, L"OnSessionChange", name);
  if (eventType == WTS_CONSOLE_CONNECT) CheckModeWithWMI();
}

void ServiceWorkerThread(ServiceWorkerState& worker) noexcept {
  CLogFile* const log = worker.log;
  Line(log, L"ServiceWorkerThread", L"ServiceWorkerThread Enter");
  Line(log, L"ServiceWorkerThread", L"WTSGetActiveConsoleSessionId() != INVALID_SESSION_ID && session_id != 0");

  // Set-up. A failed subscription only means no firmware events: every other
  // trigger still runs checks, each through a client of its own.
  worker.wmiClient = new (std::nothrow) CWMIClient(log);
  if (worker.wmiClient != nullptr) (void)worker.wmiClient->RegisterUsageModeEvent(&DecideOnUsageMode);
  CheckModeWithWMI();
  RegisterPowerETW(&worker, &CheckModeWithWMI);

  // A stop asked for during set-up is not lost: the event is manual-reset.
  ::WaitForSingleObject(worker.stopEvent.get(), INFINITE);

  // Teardown: the client (which cancels the subscription), then the monitor.
  delete worker.wmiClient;
  worker.wmiClient = nullptr;
  StopPowerETW(&worker);

  // The last line goes out before the signal: once stoppedEvent is set the
  // entry may destroy the service object and the log with it.
  Line(log, L"ServiceWorkerThread", L"ServiceWorkerThread End");
  ::SetEvent(worker.stoppedEvent.get());
}
