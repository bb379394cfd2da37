// The smallest service that does what the service manager needs: it reports
// RUNNING at once and STOPPED on a stop request. The start and stop benchmarks
// measure TVRSvc.exe side by side with it, so that Wine's own cost cancels out.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE g_stop = nullptr;

void Report(DWORD state) {
  g_status.dwCurrentState = state;
  SetServiceStatus(g_handle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
  }
  return NO_ERROR;
}

void WINAPI Main(DWORD, LPWSTR*) {
  g_handle = RegisterServiceCtrlHandlerExW(L"TVRBaseline", Handler, nullptr);
  if (g_handle == nullptr) return;
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wchar_t name[] = L"TVRBaseline";
  SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}
