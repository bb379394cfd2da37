#include "common/log_links.h"

#include <windows.h>

namespace tvr_test {

namespace {

bool NameExists(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

// Wine only: the host path of a Windows path, or "" elsewhere.
std::wstring HostPath(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) return {};
  char* unixPath = toUnix(path.c_str());
  if (unixPath == nullptr) return {};
  std::wstring result;
  for (const char* p = unixPath; *p != '\0'; ++p) result.push_back(static_cast<unsigned char>(*p));
  HeapFree(GetProcessHeap(), 0, unixPath);
  return result;
}

bool WaitFor(const std::wstring& path, bool present);

// Wine runs host programs handed to CreateProcessW, but waiting on such a
// process does not wait for it to finish; the command therefore leaves a
// marker file when done, and the marker is waited for.
bool RunHostCommand(const std::wstring& command) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  static LONG counter = 0;
  const std::wstring marker = std::wstring(temp) + L"tvr_host_done_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(InterlockedIncrement(&counter));
  const std::wstring hostMarker = HostPath(marker);
  if (hostMarker.empty()) return false;
  std::wstring commandLine = L"/bin/sh -c \"" + command + L"; touch " + hostMarker + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  const bool done = WaitFor(marker, true);
  DeleteFileW(marker.c_str());
  return done;
}

bool WaitFor(const std::wstring& path, bool present) {
  for (int i = 0; i < 100; ++i) {
    if (NameExists(path) == present) return true;
    Sleep(50);
  }
  return false;
}

}  // namespace

bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory) {
  const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) && NameExists(link)) return true;
  const std::wstring hostLink = HostPath(link);
  const std::wstring hostTarget = HostPath(target);
  if (hostLink.empty() || hostTarget.empty()) return false;
  if (!RunHostCommand(L"/bin/ln -s " + hostTarget + L" " + hostLink)) return false;
  // Wine lists no dangling link, so only a link to something can be seen.
  return !NameExists(target) || WaitFor(link, true);
}

void RemoveLink(const std::wstring& link) {
  // Under Wine, DeleteFileW and RemoveDirectoryW on a host link remove what
  // it points at: only the host may remove the link itself.
  const std::wstring hostLink = HostPath(link);
  if (!hostLink.empty()) {
    RunHostCommand(L"/bin/rm -f " + hostLink);
    return;
  }
  if (!DeleteFileW(link.c_str())) RemoveDirectoryW(link.c_str());
}

}  // namespace tvr_test
