// The product's service host (its entry's RunAsService and its service object)
// with one change at the service-manager seam: the report of SERVICE_STOPPED
// returns to the control handler only after a pause. That is what a control
// thread that loses the processor right after its STOPPED report looks like:
// the handler has not returned yet, so the dispatcher has not yet answered the
// stop control. A host that ends its process in that window leaves the
// service manager with a broken control pipe.
#include <windows.h>

#include "app/command_line.h"
#include "mode/service_instance.h"
#include "service/service_platform.h"

namespace {

constexpr DWORD kPauseAfterStoppedMs = 300;

BOOL WINAPI ReportThenPause(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  const BOOL reported = ::SetServiceStatus(handle, status);
  if (status->dwCurrentState == SERVICE_STOPPED) ::Sleep(kPauseAfterStoppedMs);
  return reported;
}

}  // namespace

int wmain() {
  ServicePlatform().setServiceStatus = &ReportThenPause;
  RunAsService<CServiceInstance>(nullptr);
  return 0;
}
