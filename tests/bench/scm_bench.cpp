// Start and stop timings through the real service manager, for two service
// executables side by side: TVRSvc.exe and the minimal baseline service.
//   scm_bench.exe startstop <TVRSvc.exe> <baseline.exe> [rounds]
//     prints the median time from StartService to RUNNING and from the stop
//     request to STOPPED for each, and their ratios;
//   scm_bench.exe hold <TVRSvc.exe> <seconds>
//     installs and starts TVRSvc, prints "running", keeps it running idle for
//     the given time (the caller samples its CPU time from outside), stops it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double NowMs() {
  static LARGE_INTEGER freq = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

bool WaitForState(SC_HANDLE service, DWORD state, double timeoutMs) {
  const double start = NowMs();
  SERVICE_STATUS status{};
  while (NowMs() - start < timeoutMs) {
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == state) return true;
    Sleep(1);
  }
  return false;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Timings {
  std::vector<double> start, stop;
};

SC_HANDLE Install(SC_HANDLE scm, const wchar_t* name, const std::wstring& exe) {
  const std::wstring quoted = L"\"" + exe + L"\"";
  SC_HANDLE service = CreateServiceW(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr,
                                     nullptr, L"\0", nullptr, nullptr);
  if (service == nullptr) fwprintf(stderr, L"CreateService(%ls) failed w/err 0x%08lx\n", name, GetLastError());
  return service;
}

// `settleMs`: time the service runs between RUNNING and the stop request. A
// stop that comes at once also waits for TVRSvc's worker to finish its set-up
// (WMI connection and first check), which a stop in service life never does.
bool Measure(SC_HANDLE scm, const wchar_t* name, const std::wstring& exe, int rounds, DWORD settleMs,
             Timings& out) {
  SC_HANDLE service = Install(scm, name, exe);
  if (service == nullptr) return false;
  bool ok = true;
  for (int i = 0; i < rounds && ok; ++i) {
    const double t0 = NowMs();
    if (!StartServiceW(service, 0, nullptr) || !WaitForState(service, SERVICE_RUNNING, 30000)) {
      fwprintf(stderr, L"%ls did not reach RUNNING (0x%08lx)\n", name, GetLastError());
      ok = false;
      break;
    }
    out.start.push_back(NowMs() - t0);
    // The process behind this start, so that the next round starts only
    // once it has gone (Wine's manager refuses controls to a new instance
    // while the old one is still leaving).
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    HANDLE processHandle = nullptr;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof(process),
                             &needed)) {
      processHandle = OpenProcess(SYNCHRONIZE, FALSE, process.dwProcessId);
    }
    Sleep(settleMs);
    SERVICE_STATUS status{};
    const double t1 = NowMs();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) || !WaitForState(service, SERVICE_STOPPED, 30000)) {
      fwprintf(stderr, L"%ls did not reach STOPPED (0x%08lx)\n", name, GetLastError());
      ok = false;
    } else {
      out.stop.push_back(NowMs() - t1);
    }
    if (processHandle != nullptr) {
      WaitForSingleObject(processHandle, 10000);
      CloseHandle(processHandle);
    }
  }
  DeleteService(service);
  CloseServiceHandle(service);
  return ok;
}

}  // namespace

int Hold(SC_HANDLE scm, const std::wstring& exe, int seconds) {
  SC_HANDLE service = Install(scm, L"TVRSvc", exe);
  if (service == nullptr) return 1;
  int rc = 1;
  if (StartServiceW(service, 0, nullptr) && WaitForState(service, SERVICE_RUNNING, 30000)) {
    Sleep(1000);  // let the worker finish its set-up before the idle window
    wprintf(L"running\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    rc = WaitForState(service, SERVICE_STOPPED, 30000) ? 0 : 1;
  }
  DeleteService(service);
  CloseServiceHandle(service);
  return rc;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    fwprintf(stderr, L"usage: scm_bench startstop <TVRSvc.exe> <baseline.exe> [rounds] | hold <TVRSvc.exe> <seconds>\n");
    return 2;
  }
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) {
    fwprintf(stderr, L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
    return 1;
  }
  if (std::wstring(argv[1]) == L"hold") {
    const int rc = Hold(scm, argv[2], _wtoi(argv[3]));
    CloseServiceHandle(scm);
    return rc;
  }
  const int rounds = argc > 4 ? _wtoi(argv[4]) : 5;
  Timings svc, base, svcEarly, baseEarly;
  const bool ok = Measure(scm, L"TVRBaseline", argv[3], rounds, 1000, base) &&
                  Measure(scm, L"TVRSvc", argv[2], rounds, 1000, svc) &&
                  Measure(scm, L"TVRBaseline", argv[3], rounds, 0, baseEarly) &&
                  Measure(scm, L"TVRSvc", argv[2], rounds, 0, svcEarly);
  CloseServiceHandle(scm);
  if (!ok) return 1;
  const auto row = [](const wchar_t* what, double mine, double baseline, const wchar_t* target) {
    wprintf(L"%ls: TVRSvc %8.1f ms  baseline %8.1f ms  ratio %.2f%ls\n", what, mine, baseline,
            baseline > 0 ? mine / baseline : 0, target);
  };
  row(L"start to RUNNING              ", Median(svc.start), Median(base.start), L" (target <= 1.2)");
  row(L"stop to STOPPED, running 1 s  ", Median(svc.stop), Median(base.stop), L" (target <= 1.5)");
  row(L"stop to STOPPED, right at start", Median(svcEarly.stop), Median(baseEarly.stop),
      L" (waits for the worker's set-up)");
  return 0;
}
