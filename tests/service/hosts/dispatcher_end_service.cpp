// The product's service host (its entry's RunAsService and its service object)
// watching one thing from the service-manager seam: the thread that makes the
// SERVICE_STOPPED report, which under Wine is the dispatcher's control thread.
// Once RunAsService has returned, the process is about to end; that thread
// must have finished by then, its handles to the service manager closed. The
// exit code tells: 0 when it has ended, 3 when it is still running.
#include <windows.h>

#include <atomic>

#include "app/command_line.h"
#include "mode/service_instance.h"
#include "service/service_platform.h"

namespace {

std::atomic<DWORD> g_stoppedReporter{0};

BOOL WINAPI RecordStoppedReporter(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  if (status->dwCurrentState == SERVICE_STOPPED) g_stoppedReporter.store(::GetCurrentThreadId());
  return ::SetServiceStatus(handle, status);
}

}  // namespace

int wmain() {
  ServicePlatform().setServiceStatus = &RecordStoppedReporter;
  RunAsService<CServiceInstance>(nullptr);
  const DWORD reporter = g_stoppedReporter.load();
  // The report made on this very thread (Windows' way) leaves nothing behind.
  if (reporter == 0 || reporter == ::GetCurrentThreadId()) return 0;
  HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, reporter);
  // A thread that can no longer be opened has ended.
  if (thread == nullptr) return 0;
  const bool ended = ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  ::CloseHandle(thread);
  return ended ? 0 : 3;
}
