#include "service/installer.h"

#include <cstdio>

#include "common/bounded_format.h"
#include "common/scoped_handle.h"
#include "log/log_file.h"
#include "service/installer_platform.h"

namespace {

constexpr DWORD kInstallScmAccess = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
constexpr DWORD kRemoveScmAccess = SC_MANAGER_CONNECT;
constexpr DWORD kRemoveServiceAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
constexpr DWORD kStopPollMs = 1000;

// The service depends on nothing: an empty list, which is its double
// terminator alone (a null pointer would mean "leave unchanged" elsewhere).
constexpr wchar_t kNoDependencies[] = L"\0";

// Service handles are closed through the same seam that handed them out.
struct InstallerHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { (void)InstallerPlatform().closeServiceHandle(h); }
};
using ScopedScHandle = tvr::ScopedHandle<InstallerHandleTraits>;

}  // namespace

void InstallSelf(const wchar_t* path) noexcept {
  InstallerPlatformCalls& os = InstallerPlatform();
  ScopedScHandle scm(os.openSCManagerW(nullptr, nullptr, kInstallScmAccess));
  if (!scm) {
    wprintf(L"OpenSCManager failed w/err 0x%08lx\n", ::GetLastError());
    return;
  }

  // The path goes in quoted: unquoted, a path with blanks such as
  // C:\Program Files\OEM\TVRSvc.exe would let the SCM start C:\Program.exe
  // as LocalSystem. Room for the path, two quotes and the terminator.
  wchar_t quotedPath[MAX_PATH + 2];
  tvr::FormatBounded(quotedPath, L"\"%ls\"", path);

  {
    ScopedScHandle service(os.createServiceW(
        scm.get(), kModuleName, kServiceDisplayName, SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quotedPath, nullptr, nullptr, kNoDependencies, nullptr,
        nullptr));
    if (!service) {
      wprintf(L"CreateService failed w/err 0x%08lx\n", ::GetLastError());
    } else {
      wprintf(L"%ls is installed.\n", kModuleName);
    }
  }  // the new service's handle is closed here, before the SCM's
}

void RemoveSelf() noexcept {
  InstallerPlatformCalls& os = InstallerPlatform();
  SERVICE_STATUS status = {};

  // Declared before the SCM handle so that it is closed after it: the SCM
  // handle goes first, the service handle second, on every path.
  ScopedScHandle service;
  ScopedScHandle scm(os.openSCManagerW(nullptr, nullptr, kRemoveScmAccess));
  if (!scm) {
    wprintf(L"OpenSCManager failed w/err 0x%08lx\n", ::GetLastError());
    return;
  }

  service.reset(os.openServiceW(scm.get(), kModuleName, kRemoveServiceAccess));
  if (!service) {
    wprintf(L"OpenService failed w/err 0x%08lx\n", ::GetLastError());
    return;
  }

  // A refused stop (typically: not running) only skips the wait.
  if (os.controlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    wprintf(L"Stopping %ls.", kModuleName);
    fflush(stdout);
    os.sleep(kStopPollMs);
    while (os.queryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
      wprintf(L".");
      fflush(stdout);
      os.sleep(kStopPollMs);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      wprintf(L"\n%ls is stopped.\n", kModuleName);
    } else {
      wprintf(L"\n%ls failed to stop.\n", kModuleName);
    }
  }

  // Deleted also when it did not stop: the SCM removes it once it has.
  if (!os.deleteService(service.get())) {
    wprintf(L"DeleteService failed w/err 0x%08lx\n", ::GetLastError());
  } else {
    wprintf(L"%ls is removed.\n", kModuleName);
  }
}
