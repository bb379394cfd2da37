#pragma once
// The generic side of the service: the status record the service control
// manager sees, the control handler, one wrapper per control that reports the
// state transitions around its handler, and event-log entries when a handler
// fails. The concrete service derives from CServiceBase and overrides the
// On... handlers.
//
// Handlers report failure by throwing the Win32 error code itself, a bare
// DWORD (usually GetLastError()). The wrappers catch it, and anything else,
// at the boundary to the service control manager; nothing propagates into the
// dispatcher.

#include <windows.h>

class CLogFile;

class CServiceBase {
 public:
  // Takes ownership of `log` (may be null); the destructor retires it.
  CServiceBase(const wchar_t* serviceName, CLogFile* log) noexcept;
  // Unpublishes and deletes the log object and sets `log` to null.
  virtual ~CServiceBase();

  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // The service procedure of the dispatcher's service table. Works on
  // g_activeService: registers ControlHandler and runs Start. When the
  // registration fails it reports nothing, leaves GetLastError() as the
  // registration left it and returns; the service manager times the start out.
  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

  // The control handler registered by ServiceMain. Runs the wrapper for the
  // control on g_activeService; returns NO_ERROR for every control.
  static DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

  // For the entry, once StartServiceCtrlDispatcherW has returned: returns when
  // the service manager has had its answer to the last control and the
  // dispatcher thread has closed its handles and ended, or after 2 s in all.
  // Wine's dispatcher runs the handlers on a thread of its own and writes the
  // answer after the handler has returned, but lets StartServiceCtrlDispatcherW
  // return as soon as the STOPPED report is made inside the handler; a process
  // that ends in between breaks the control pipe, and the stop fails with
  // ERROR_BROKEN_PIPE for whoever asked for it. Where the handlers run on the
  // dispatcher's own thread, as on Windows, it returns at once.
  static void AwaitLastControlAnswer() noexcept;

  // Writes one event-log entry with the insertion strings {serviceName,
  // message}. Drops it silently when the event source cannot be opened.
  void LogEvent(const wchar_t* message, WORD type) noexcept;

  // Writes the error entry "<operation> failed w/err 0x%08lx", cut to 259
  // characters.
  void LogError(const wchar_t* operation, DWORD error) noexcept;

  // Fields in this order; the log pointer is read by the monitor's helpers.
  CLogFile* log;                       // owned, may be null (logging off)
  const wchar_t* serviceName;          // not owned; also the event source name
  SERVICE_STATUS status;               // what the service manager is told
  SERVICE_STATUS_HANDLE statusHandle;  // null until ServiceMain registered

 protected:
  // Handlers, in slot order. The defaults do nothing. A failing handler
  // throws a DWORD error code (or anything else).
  virtual void OnStart(DWORD argc, LPWSTR* argv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual void OnPowerEvent(DWORD eventType, LPVOID eventData);
  virtual void OnSessionChange(DWORD eventType, LPVOID eventData);

  // Wrappers: the handler between its status reports, inside one failure
  // guard that logs the failure and makes the recovery report.
  void Start(DWORD argc, LPWSTR* argv) noexcept;
  void Stop() noexcept;
  void Pause() noexcept;
  void Continue() noexcept;
  void Shutdown() noexcept;
  void PowerEvent(DWORD eventType, LPVOID eventData) noexcept;
  void SessionChange(DWORD eventType, LPVOID eventData) noexcept;

  // Sets state and exit code, wait hint 0, and the checkpoint: 0 for RUNNING
  // and STOPPED, otherwise the next number of g_checkPoint. The result of
  // SetServiceStatus is ignored.
  void ReportStatus(DWORD state, DWORD exitCode) noexcept;
};

// The one service object of the process; written once by the entry before the
// dispatcher starts, never cleared.
extern CServiceBase* g_activeService;

// The checkpoint counter shared by every pending report of the process;
// starts at 1 and only grows.
extern DWORD g_checkPoint;
