#include "service/service_base.h"

#include <atomic>

#include "common/bounded_format.h"
#include "common/scoped_handle.h"
#include "common/srw_guard.h"
#include "log/log_file.h"
#include "log/log_pointer.h"
#include "service/service_platform.h"

CServiceBase* g_activeService = nullptr;
DWORD g_checkPoint = 1;

namespace {

// Pause and continue are never offered; the wrappers exist for them all the same.
constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;

// Held by ControlHandler for the whole of a control, so that the entry can
// tell when no handler is in flight any more.
SRWLOCK g_controlGate = SRWLOCK_INIT;
// The thread the last control ran on: under Wine the dispatcher's own, which
// writes the answer to the service manager after the handler has returned.
std::atomic<DWORD> g_controlThreadId{0};

constexpr DWORD kControlAnswerWaitMs = 2000;

// The one failure guard every wrapper runs its steps in. A bare error code
// goes to the event log with the operation's name, anything else with the
// wrapper's message. Returns false when a step failed; `error` then holds the
// code, or 0 for a failure that was not an error code. The caller makes the
// recovery report.
template <class Steps>
bool RunGuarded(CServiceBase& service, const wchar_t* operation, const wchar_t* message, DWORD& error,
                Steps&& steps) noexcept {
  try {
    steps();
    return true;
  } catch (DWORD code) {
    error = code;
    service.LogError(operation, code);
  } catch (...) {
    error = 0;
    service.LogEvent(message, EVENTLOG_ERROR_TYPE);
  }
  return false;
}

// One entry in the event log under `source`, with the insertion strings
// {source, message}; dropped silently when the source cannot be opened.
void WriteEventLogEntry(const wchar_t* source, const wchar_t* message, WORD type) noexcept {
  HANDLE eventSource = ServicePlatform().registerEventSourceW(nullptr, source);
  if (eventSource == nullptr) return;
  LPCWSTR strings[2] = {source, message};
  (void)ServicePlatform().reportEventW(eventSource, type, 0, 0, nullptr, 2, 0, strings, nullptr);
  (void)ServicePlatform().deregisterEventSource(eventSource);
}

// The log's refusals go to the event log as warnings, under the service's
// own source.
void ReportLogRefusal(const wchar_t* text) noexcept { WriteEventLogEntry(kModuleName, text, EVENTLOG_WARNING_TYPE); }

}  // namespace

CServiceBase::CServiceBase(const wchar_t* serviceName, CLogFile* log) noexcept
    : log(log), serviceName(serviceName), status{}, statusHandle(nullptr) {
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = SERVICE_START_PENDING;
  status.dwControlsAccepted = kControlsAccepted;
  SetLogRefusalReport(&ReportLogRefusal);
}

CServiceBase::~CServiceBase() {
  // Unpublishes the object under the log guard before deleting it, so a late
  // writer on another thread either finishes its line first or writes nothing.
  RetireLog(log);
  log = nullptr;
  // No line can be written any more, so no refusal can come up to be told.
  SetLogRefusalReport(nullptr);
}

void WINAPI CServiceBase::ServiceMain(DWORD argc, LPWSTR* argv) {
  CServiceBase* service = g_activeService;
  if (service == nullptr) return;
  service->statusHandle =
      ServicePlatform().registerServiceCtrlHandlerExW(service->serviceName, &CServiceBase::ControlHandler, nullptr);
  // Without a status handle nothing can be reported; the thread ends here in
  // order (no exception crosses into the dispatcher) and the service manager
  // times the start out. GetLastError() still holds the registration's code.
  if (service->statusHandle == nullptr) return;
  service->Start(argc, argv);
}

DWORD WINAPI CServiceBase::ControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  tvr::ExclusiveSrwGuard gate(g_controlGate);
  g_controlThreadId.store(::GetCurrentThreadId());
  CServiceBase* service = g_activeService;
  if (service == nullptr) return NO_ERROR;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      service->Stop();
      break;
    case SERVICE_CONTROL_PAUSE:
      service->Pause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      service->Continue();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      service->Shutdown();
      break;
    case SERVICE_CONTROL_POWEREVENT:
      service->PowerEvent(eventType, eventData);
      break;
    case SERVICE_CONTROL_SESSIONCHANGE:
      service->SessionChange(eventType, eventData);
      break;
    default:
      break;
  }
  return NO_ERROR;
}

void CServiceBase::AwaitLastControlAnswer() noexcept {
  // Once the gate can be taken, the last handler has returned to the dispatcher.
  { tvr::ExclusiveSrwGuard gate(g_controlGate); }
  const DWORD threadId = g_controlThreadId.load();
  if (threadId == 0 || threadId == ::GetCurrentThreadId()) return;

  tvr::ScopedKernelHandle dispatcher(::OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, threadId));
  if (!dispatcher) return;
  // After a handler the dispatcher thread makes two synchronous calls on its
  // pipe: the write of the answer, which completes at once into the pipe's
  // buffer, and the blocking read of the next request. Only that read can be
  // found pending, so once it can be cancelled the answer has gone out.
  const ULONGLONG deadline = ::GetTickCount64() + kControlAnswerWaitMs;
  while (!::CancelSynchronousIo(dispatcher.get())) {
    // Anything but "nothing pending" means this cannot be told; the thread
    // having ended means the answer went out before it did.
    if (::GetLastError() != ERROR_NOT_FOUND) return;
    if (::WaitForSingleObject(dispatcher.get(), 1) != WAIT_TIMEOUT) return;
    if (::GetTickCount64() >= deadline) return;
  }
  // The cancelled read makes the dispatcher close its pipe and its handle to
  // the service manager, one more call to services.exe. A process that ends
  // during that call leaves services.exe answering a client that is going
  // away, and until the process is gone it answers nobody's status query
  // about this service: measured, a stop then took up to twice as long for
  // the caller. The thread is done within a millisecond or two; the same
  // bound covers it.
  const ULONGLONG now = ::GetTickCount64();
  (void)::WaitForSingleObject(dispatcher.get(), now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
}

void CServiceBase::OnStart(DWORD, LPWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
void CServiceBase::OnPowerEvent(DWORD, LPVOID) {}
void CServiceBase::OnSessionChange(DWORD, LPVOID) {}

void CServiceBase::Start(DWORD argc, LPWSTR* argv) noexcept {
  DWORD error = 0;
  const bool done = RunGuarded(*this, L"Service Start", L"Service failed to start.", error, [&] {
    ReportStatus(SERVICE_START_PENDING, 0);
    OnStart(argc, argv);
    ReportStatus(SERVICE_RUNNING, 0);
  });
  // Only a failed start carries its error code in the status record.
  if (!done) ReportStatus(SERVICE_STOPPED, error);
}

void CServiceBase::Stop() noexcept {
  const DWORD previousState = status.dwCurrentState;
  DWORD error = 0;
  const bool done = RunGuarded(*this, L"Service Stop", L"Service failed to stop.", error, [&] {
    ReportStatus(SERVICE_STOP_PENDING, 0);
    OnStop();
    ReportStatus(SERVICE_STOPPED, 0);
  });
  if (!done) ReportStatus(previousState, 0);
}

void CServiceBase::Pause() noexcept {
  DWORD error = 0;
  const bool done = RunGuarded(*this, L"Service Pause", L"Service failed to pause.", error, [&] {
    ReportStatus(SERVICE_PAUSE_PENDING, 0);
    OnPause();
    ReportStatus(SERVICE_PAUSED, 0);
  });
  if (!done) ReportStatus(SERVICE_RUNNING, 0);
}

void CServiceBase::Continue() noexcept {
  DWORD error = 0;
  const bool done = RunGuarded(*this, L"Service Continue", L"Service failed to resume.", error, [&] {
    ReportStatus(SERVICE_CONTINUE_PENDING, 0);
    OnContinue();
    ReportStatus(SERVICE_RUNNING, 0);
  });
  if (!done) ReportStatus(SERVICE_PAUSED, 0);
}

void CServiceBase::Shutdown() noexcept {
  DWORD error = 0;
  (void)RunGuarded(*this, L"Service Shutdown", L"Service failed to shut down.", error, [&] {
    OnShutdown();
    ReportStatus(SERVICE_STOPPED, 0);
  });
}

void CServiceBase::PowerEvent(DWORD eventType, LPVOID eventData) noexcept {
  DWORD error = 0;
  (void)RunGuarded(*this, L"Service PowerEvent", L"Service failed PowerEvent.", error,
                   [&] { OnPowerEvent(eventType, eventData); });
}

void CServiceBase::SessionChange(DWORD eventType, LPVOID eventData) noexcept {
  DWORD error = 0;
  (void)RunGuarded(*this, L"Service SessionChange", L"Service failed SessionChange.", error,
                   [&] { OnSessionChange(eventType, eventData); });
}

void CServiceBase::ReportStatus(DWORD state, DWORD exitCode) noexcept {
  status.dwCurrentState = state;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = 0;
  if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
    status.dwCheckPoint = 0;
  } else {
    status.dwCheckPoint = g_checkPoint++;
  }
  (void)ServicePlatform().setServiceStatus(statusHandle, &status);
}

void CServiceBase::LogEvent(const wchar_t* message, WORD type) noexcept {
  WriteEventLogEntry(serviceName, message, type);
}

void CServiceBase::LogError(const wchar_t* operation, DWORD error) noexcept {
  wchar_t text[260];
  tvr::FormatBounded(text, L"%ls failed w/err 0x%08lx", operation, error);
  LogEvent(text, EVENTLOG_ERROR_TYPE);
}
