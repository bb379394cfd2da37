#pragma once
// The service's one way to the firmware: a connection to root\wmi, the
// usage-mode method call, and the subscription to the usage-mode event.

#include <windows.h>
#include <wbemidl.h>

#include "wmi/usage_mode.h"

class CLogFile;
class EventSink;

// Capacity of the RuxeAction instance path, terminator included.
inline constexpr size_t kInstancePathCapacity = MAX_PATH;

class CWMIClient {
 public:
  // ConnectWMI: initialises COM (multithreaded) on this thread and connects to
  // root\wmi. Never fails outwardly; a failed step leaves `services` null.
  explicit CWMIClient(CLogFile* logger) noexcept;
  // DisconnectWMI: cancels the subscription, releases everything, and balances
  // this thread's COM initialisation. Runs on the constructing thread.
  ~CWMIClient();

  CWMIClient(const CWMIClient&) = delete;
  CWMIClient& operator=(const CWMIClient&) = delete;

  // Calls GetFunction(5) on the first named RuxeAction instance. Returns S_OK
  // and the 64-bit usage data, or the failing step's HRESULT and leaves
  // `usageData` untouched.
  HRESULT QueryUsageMode(ULONGLONG& usageData) noexcept;

  // Formats the object path of the first named RuxeAction instance into
  // `path`. Returns ExecQuery's HRESULT; the path stays empty when no instance
  // had a usable name. E_OUTOFMEMORY when the name cannot be escaped for want
  // of memory.
  HRESULT GetActionInstancePath(wchar_t (&path)[kInstancePathCapacity]) noexcept;

  // Subscribes an EventSink to RuxeEvent through an unsecured apartment stub;
  // each event's usage-mode code then goes to `decide`. Returns the failing
  // step's HRESULT (E_INVALIDARG for a null decision, before anything is
  // made); what was stored stays until teardown.
  HRESULT RegisterUsageModeEvent(UsageModeDecision decide) noexcept;

 private:
  void ConnectWMI(CLogFile* logger) noexcept;
  void DisconnectWMI() noexcept;

  // Field order and ownership as the client's lifecycle needs them; every
  // pointer is released in exactly one place, DisconnectWMI.
  EventSink* sink = nullptr;
  CLogFile* logger = nullptr;
  int uninitializeCom = 0;
  int comInitialized = 0;
  IWbemServices* services = nullptr;
  IWbemLocator* locator = nullptr;
  IWbemObjectSink* stubSink = nullptr;
};
