#pragma once
// Seam at the edge of the service control manager and the event log: the
// control handler registration, the status report, the three event-log calls
// and the queuing of the service's worker. Every entry is the real Windows call unless a test has put a fake in
// its place; Wine can run a service but cannot deliver power or session
// controls, and its event log keeps nothing.

#include <windows.h>

struct ServicePlatformCalls {
  SERVICE_STATUS_HANDLE(WINAPI* registerServiceCtrlHandlerExW)(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID) =
      ::RegisterServiceCtrlHandlerExW;
  BOOL(WINAPI* setServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) = ::SetServiceStatus;
  HANDLE(WINAPI* registerEventSourceW)(LPCWSTR, LPCWSTR) = ::RegisterEventSourceW;
  BOOL(WINAPI* reportEventW)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID) = ::ReportEventW;
  BOOL(WINAPI* deregisterEventSource)(HANDLE) = ::DeregisterEventSource;
  // The thread pool that runs the service's worker.
  BOOL(WINAPI* queueUserWorkItem)(LPTHREAD_START_ROUTINE, PVOID, ULONG) = ::QueueUserWorkItem;
};

// The process-wide table. Tests replace entries before starting threads and
// restore them afterwards (see tests/common).
ServicePlatformCalls& ServicePlatform() noexcept;
