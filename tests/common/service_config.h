// Reading a service's configuration back from the service manager.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tvr_test {

struct ServiceConfig {
  DWORD serviceType = 0;
  DWORD startType = 0;
  DWORD errorControl = 0;
  std::wstring binaryPath;
  std::wstring loadOrderGroup;
  DWORD tagId = 0;
  std::vector<std::wstring> dependencies;
  std::wstring account;
  std::wstring displayName;
};

// The configuration the service manager holds for the service `name`; false
// when there is no such service or it cannot be read.
bool QueryServiceConfigOf(const wchar_t* name, ServiceConfig& out);

}  // namespace tvr_test
