// Helper for the end-to-end prefix:
//   standin_tool devices N   registers N present laptop/slate indicator devices
//   standin_tool measure     prints what Wine does with the pieces the
//                            stand-ins rely on (docs/wine-facts.md)
//   standin_tool measure-service
//                            installs and starts TVRSvc.exe and prints what
//                            else Wine can deliver to it
#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "indicator_devices.h"

namespace {

using tvr_standin::IndicatorDevices;
using tvr_standin::IndicatorEvent;

void Open(const wchar_t* what, const std::wstring& path, DWORD access, DWORD share, HANDLE* keep = nullptr,
          DWORD settle = 100) {
  // Time for the recorder to listen again after the previous close.
  ::Sleep(settle);
  ::SetLastError(0xdeadbeef);
  HANDLE file = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD error = ::GetLastError();
  if (file == INVALID_HANDLE_VALUE) {
    wprintf(L"  %ls: open refused, error %lu\n", what, error);
    return;
  }
  const BYTE zero = 0;
  DWORD written = 0;
  const BOOL wrote = ::WriteFile(file, &zero, 1, &written, nullptr);
  wprintf(L"  %ls: opened, write %ls (%lu byte)\n", what, wrote ? L"ok" : L"failed", written);
  if (keep) *keep = file;
  else ::CloseHandle(file);
}

int Measure() {
  wprintf(L"GetSystemMetrics(SM_CONVERTIBLESLATEMODE) = %d\n", ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE));
  IndicatorDevices devices(2);
  if (!devices.ok()) {
    wprintf(L"devices: %hs\n", devices.error().c_str());
    return 1;
  }
  const std::vector<std::wstring> paths = tvr_standin::PresentIndicatorPaths();
  wprintf(L"SetupDiGetClassDevsW(PRESENT|DEVICEINTERFACE) lists %zu device(s)\n", paths.size());
  for (const std::wstring& p : paths) wprintf(L"  %ls\n", p.c_str());
  if (paths.empty()) return 1;
  const std::wstring& path = paths[0];
  Open(L"GENERIC_WRITE, share 0", path, GENERIC_WRITE, 0);
  Open(L"GENERIC_READ|GENERIC_WRITE", path, GENERIC_READ | GENERIC_WRITE, 0);
  Open(L"GENERIC_READ", path, GENERIC_READ, 0);
  Open(L"GENERIC_ALL", path, GENERIC_ALL, 0);
  Open(L"FILE_WRITE_DATA", path, FILE_WRITE_DATA, 0);
  HANDLE held = INVALID_HANDLE_VALUE;
  Open(L"first of two opens", path, GENERIC_WRITE, 0, &held);
  Open(L"second open while the first is held", path, GENERIC_WRITE, 0);
  if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  // Once the recorder has caught up, then each right after the previous
  // close.
  for (int i = 0; i < 3; ++i) Open(L"open right after a close", path, GENERIC_WRITE, 0, nullptr, i == 0 ? 100 : 0);
  (void)devices.WaitForBytes(0, 1, 2000);
  ::Sleep(300);
  wprintf(L"device 0 recorded:");
  for (const IndicatorEvent& e : devices.Events(0)) {
    switch (e.kind) {
      case IndicatorEvent::kOpen: wprintf(L" open(pid %lu)", e.clientPid); break;
      case IndicatorEvent::kByte: wprintf(L" byte %02x", e.value); break;
      case IndicatorEvent::kClose: wprintf(L" close"); break;
      case IndicatorEvent::kSecondOpen: wprintf(L" second-open(pid %lu, cut)", e.clientPid); break;
    }
  }
  wprintf(L"\n");
  // Opens back to back, each right after the previous close, with no pause
  // for the recorder: how many land before the device has no instance left
  // listening.
  ::Sleep(100);
  int landed = 0, refused = 0;
  DWORD error = 0;
  for (int i = 0; i < 200; ++i) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (!refused++) error = ::GetLastError();
      continue;
    }
    ++landed;
    ::CloseHandle(file);
  }
  wprintf(L"  200 opens back to back: %d landed, %d refused (the first with error %lu)\n", landed, refused, error);
  wprintf(L"this process: pid %lu\n", ::GetCurrentProcessId());
  return 0;
}

// What reaches an installed, running service under Wine besides its start
// and stop: power and session controls, and a real-time trace session.
int MeasureService() {
  using namespace tvr_standin;
  std::string output;
  DWORD pid = 0;
  if (!RemoveServiceIfPresent() || RunAndWait(ProductExe(), L"-install", &output) != 0 ||
      !StartInstalledService(&pid)) {
    wprintf(L"could not install and start the service\n");
    return 1;
  }
  SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = ::OpenServiceW(scm, L"TVRSvc", SERVICE_ALL_ACCESS);
  for (DWORD control : {DWORD{SERVICE_CONTROL_POWEREVENT}, DWORD{SERVICE_CONTROL_SESSIONCHANGE}}) {
    SERVICE_STATUS status{};
    ::SetLastError(0xdeadbeef);
    const BOOL ok = ::ControlService(service, control, &status);
    wprintf(L"ControlService(%lu) -> %d, error %lu\n", control, ok, ok ? 0 : ::GetLastError());
  }
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(scm);
  EVENT_TRACE_LOGFILEW trace{};
  wchar_t name[] = L"TS CS ETW Monitor";
  trace.LoggerName = name;
  trace.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
  ::SetLastError(0xdeadbeef);
  const TRACEHANDLE handle = ::OpenTraceW(&trace);
  wprintf(L"OpenTraceW(the service's session) -> %ls, error %lu\n",
          handle == static_cast<TRACEHANDLE>(INVALID_PROCESSTRACE_HANDLE) ? L"INVALID_PROCESSTRACE_HANDLE" : L"a handle",
          ::GetLastError());
  (void)StopInstalledService();
  (void)RunAndWait(ProductExe(), L"-remove", &output);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"devices") == 0) {
    const unsigned count = static_cast<unsigned>(_wtoi(argv[2]));
    if (count > tvr_standin::kMaxIndicatorDevices || !tvr_standin::RegisterIndicatorDevices(count)) {
      fwprintf(stderr, L"standin_tool: could not register %u devices\n", count);
      return 1;
    }
    return 0;
  }
  if (argc == 2 && wcscmp(argv[1], L"measure") == 0) return Measure();
  if (argc == 2 && wcscmp(argv[1], L"measure-service") == 0) return MeasureService();
  fwprintf(stderr, L"usage: standin_tool devices N | measure | measure-service\n");
  return 2;
}
