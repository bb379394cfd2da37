#include "common/service_config.h"

#include <cwchar>

#include "common/scoped_handle.h"

namespace tvr_test {

bool QueryServiceConfigOf(const wchar_t* name, ServiceConfig& out) {
  tvr::ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return false;
  tvr::ScopedServiceHandle service(::OpenServiceW(scm.get(), name, SERVICE_QUERY_CONFIG));
  if (!service) return false;
  DWORD needed = 0;
  ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 64);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) return false;
  auto text = [](const wchar_t* s) { return s ? std::wstring(s) : std::wstring(); };
  out.serviceType = config->dwServiceType;
  out.startType = config->dwStartType;
  out.errorControl = config->dwErrorControl;
  out.binaryPath = text(config->lpBinaryPathName);
  out.loadOrderGroup = text(config->lpLoadOrderGroup);
  out.tagId = config->dwTagId;
  out.dependencies.clear();
  for (const wchar_t* d = config->lpDependencies; d && *d; d += wcslen(d) + 1) out.dependencies.push_back(d);
  out.account = text(config->lpServiceStartName);
  out.displayName = text(config->lpDisplayName);
  return true;
}

}  // namespace tvr_test
