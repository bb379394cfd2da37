#include "fake_scm.h"

#include <chrono>
#include <condition_variable>
#include <new>

namespace {

FakeScm* g_fakeScm = nullptr;
const HANDLE kEventSource = reinterpret_cast<HANDLE>(0xe5e0);

// Work items queued through any FakeScm that have not returned yet. Kept
// outside the fake: a worker may outlive the fake that queued it.
std::mutex g_workMutex;
std::condition_variable g_workDone;
int g_workRunning = 0;

struct CountedWork {
  LPTHREAD_START_ROUTINE routine;
  PVOID context;
};

DWORD WINAPI RunCountedWork(LPVOID parameter) {
  const CountedWork work = *static_cast<CountedWork*>(parameter);
  delete static_cast<CountedWork*>(parameter);
  const DWORD result = work.routine(work.context);
  std::lock_guard<std::mutex> lock(g_workMutex);
  --g_workRunning;
  g_workDone.notify_all();
  return result;
}

}  // namespace

FakeScm::FakeScm() : saved_(ServicePlatform()) {
  g_fakeScm = this;
  ServicePlatformCalls& calls = ServicePlatform();
  calls.registerServiceCtrlHandlerExW = &FakeScm::RegisterHandler;
  calls.setServiceStatus = &FakeScm::SetStatus;
  calls.registerEventSourceW = &FakeScm::RegisterSource;
  calls.reportEventW = &FakeScm::Report;
  calls.deregisterEventSource = &FakeScm::DeregisterSource;
  calls.queueUserWorkItem = &FakeScm::Queue;
}

FakeScm::~FakeScm() {
  ServicePlatform() = saved_;
  g_fakeScm = nullptr;
}

std::vector<RecordedStatus> FakeScm::Statuses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statuses_;
}

std::vector<RecordedEvent> FakeScm::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void FakeScm::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  statuses_.clear();
  events_.clear();
}

SERVICE_STATUS_HANDLE WINAPI FakeScm::RegisterHandler(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  FakeScm& self = *g_fakeScm;
  std::lock_guard<std::mutex> lock(self.mutex_);
  ++self.registrations;
  self.registeredName = name ? name : L"";
  self.registeredContext = context;
  if (self.failRegistrationWith != 0) {
    ::SetLastError(self.failRegistrationWith);
    return nullptr;
  }
  self.handler = handler;
  return kStatusHandle;
}

BOOL WINAPI FakeScm::SetStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  FakeScm& self = *g_fakeScm;
  std::lock_guard<std::mutex> lock(self.mutex_);
  if (handle != kStatusHandle) ++self.reportsWithForeignHandle;
  self.statuses_.push_back({status->dwServiceType, status->dwCurrentState, status->dwControlsAccepted,
                            status->dwWin32ExitCode, status->dwServiceSpecificExitCode, status->dwCheckPoint,
                            status->dwWaitHint});
  return TRUE;
}

HANDLE WINAPI FakeScm::RegisterSource(LPCWSTR server, LPCWSTR source) {
  FakeScm& self = *g_fakeScm;
  std::lock_guard<std::mutex> lock(self.mutex_);
  if (self.failEventSource || server != nullptr) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  ++self.openEventSources;
  self.lastSourceName_ = source ? source : L"";
  return kEventSource;
}

BOOL WINAPI FakeScm::Report(HANDLE source, WORD type, WORD category, DWORD id, PSID sid, WORD count, DWORD rawSize,
                            LPCWSTR* strings, LPVOID) {
  FakeScm& self = *g_fakeScm;
  std::lock_guard<std::mutex> lock(self.mutex_);
  if (source != kEventSource || self.openEventSources <= 0) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RecordedEvent event{self.lastSourceName_, type, category, id, sid != nullptr, rawSize, {}};
  for (WORD i = 0; i < count; ++i) event.strings.emplace_back(strings[i] ? strings[i] : L"<null>");
  self.events_.push_back(std::move(event));
  return TRUE;
}

BOOL WINAPI FakeScm::DeregisterSource(HANDLE source) {
  FakeScm& self = *g_fakeScm;
  std::lock_guard<std::mutex> lock(self.mutex_);
  if (source != kEventSource) return FALSE;
  --self.openEventSources;
  return TRUE;
}

BOOL WINAPI FakeScm::Queue(LPTHREAD_START_ROUTINE routine, PVOID context, ULONG flags) {
  FakeScm& self = *g_fakeScm;
  {
    std::lock_guard<std::mutex> lock(self.mutex_);
    ++self.queueCalls;
    self.lastQueueFlags = flags;
    if (self.failQueueWith != 0) {
      ::SetLastError(self.failQueueWith);
      return FALSE;
    }
  }
  auto* work = new (std::nothrow) CountedWork{routine, context};
  if (work == nullptr) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(g_workMutex);
    ++g_workRunning;
  }
  if (!self.saved_.queueUserWorkItem(&RunCountedWork, work, flags)) {
    const DWORD error = ::GetLastError();
    delete work;
    std::lock_guard<std::mutex> lock(g_workMutex);
    --g_workRunning;
    ::SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

bool FakeScm::WaitWorkItemsReturned(DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(g_workMutex);
  return g_workDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_workRunning == 0; });
}
