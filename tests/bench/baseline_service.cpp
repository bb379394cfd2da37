// The smallest service that does what the service manager needs: it reports
// RUNNING at once and STOPPED on a stop request. The start and stop benchmarks
// measure TVRSvc.exe side by side with it, so that Wine's own cost cancels out.
//
// With the argument --stopped-in-handler it reports STOPPED from inside its
// control handler, right after STOP_PENDING, as TVRSvc's framework does; the
// plain form reports it from the service thread, so that the report overlaps
// the handler's answer to the service manager. The two together show what a
// stop costs by the shape of its reports alone.
#include <windows.h>

#include <cwchar>

namespace {

SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE g_stop = nullptr;
bool g_stoppedInHandler = false;
// The name it is installed under: the dispatcher only serves its own.
const wchar_t* g_name = L"TVRBaseline";

void Report(DWORD state) {
  g_status.dwCurrentState = state;
  SetServiceStatus(g_handle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    if (g_stoppedInHandler) Report(SERVICE_STOPPED);
    SetEvent(g_stop);
  }
  return NO_ERROR;
}

void WINAPI Main(DWORD, LPWSTR*) {
  g_handle = RegisterServiceCtrlHandlerExW(g_name, Handler, nullptr);
  if (g_handle == nullptr) return;
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  if (!g_stoppedInHandler) Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_stoppedInHandler = argc > 1 && wcscmp(argv[1], L"--stopped-in-handler") == 0;
  if (g_stoppedInHandler) g_name = L"TVRBaselineInHandler";
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(g_name), Main}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  // Under Wine the dispatcher returns on a STOPPED report made inside the
  // handler, before it has answered the stop; a bench stand-in may simply
  // linger a moment so that the answer is not lost with the process.
  if (g_stoppedInHandler) Sleep(100);
  return 0;
}
