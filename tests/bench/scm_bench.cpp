// Start and stop timings through the real service manager, for two service
// executables side by side: TVRSvc.exe and the minimal baseline service.
//   scm_bench.exe startstop <TVRSvc.exe> <baseline.exe> [rounds]
//     rounds (at least 7, 15 by default) of one cycle each, the two services taking turns
//     (who goes first alternates too): start to RUNNING and stop to STOPPED
//     after a second of running, then the same with the stop right at start.
//     Prints each series' median and spread and the ratio of the medians,
//     and says when the baseline's own runs spread too widely to judge. The
//     stops are also set against the baseline in the shape of TVRSvc's stop
//     (STOPPED reported inside the control handler).
//   scm_bench.exe cycles <TVRSvc.exe> [count]
//     start and stop the installed executable `count` times in a row (50 by
//     default) with the stop right at RUNNING; prints the failures.
//   scm_bench.exe hold <TVRSvc.exe> <seconds>
//     installs and starts TVRSvc, prints "running", keeps it running idle for
//     the given time (the caller samples its CPU time from outside), stops it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kMinimumRounds = 7;
constexpr int kDefaultRounds = 15;
// The baseline's own runs spreading by more than this share of their median
// means the machine was too busy for a ratio to mean anything. The spread is
// taken over the middle 80% of the runs (10th to 90th percentile): one run
// that met a burst of other work moves neither the median nor the verdict.
constexpr double kTooNoisySpread = 0.5;

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

struct Series {
  std::vector<double> values;
  // The q-quantile (0..1), interpolated between the two nearest runs.
  double Quantile(double q) const {
    if (values.empty()) return 0;
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    const double at = q * static_cast<double>(v.size() - 1);
    const size_t below = static_cast<size_t>(at);
    if (below + 1 >= v.size()) return v.back();
    return v[below] + (at - static_cast<double>(below)) * (v[below + 1] - v[below]);
  }
  double Median() const { return Quantile(0.5); }
  double Min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
  double Max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
  // (90th percentile - 10th percentile) / median.
  double Spread() const {
    const double median = Median();
    return median > 0 ? (Quantile(0.9) - Quantile(0.1)) / median : 0;
  }
};

SC_HANDLE Install(SC_HANDLE scm, const wchar_t* name, const std::wstring& exe, const wchar_t* arguments = L"") {
  const std::wstring quoted = L"\"" + exe + L"\"" + arguments;
  SC_HANDLE service = CreateServiceW(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr,
                                     nullptr, L"\0", nullptr, nullptr);
  if (service == nullptr) fwprintf(stderr, L"CreateService(%ls) failed w/err 0x%08lx\n", name, GetLastError());
  return service;
}

void Remove(SC_HANDLE service) {
  if (service == nullptr) return;
  DeleteService(service);
  CloseServiceHandle(service);
}

// One start and stop. `settleMs`: time the service runs between RUNNING and
// the stop request. A stop that comes at once also waits for TVRSvc's worker
// to finish its set-up (WMI connection and first check), which a stop in
// service life never does. Returns false, with the reason on stderr, when a
// step failed; the next cycle starts only once the old process has gone
// (Wine's manager refuses controls to a new instance while the old one is
// still leaving).
bool Cycle(SC_HANDLE service, const wchar_t* name, DWORD settleMs, double& startMs, double& stopMs) {
  const double t0 = NowMs();
  if (!StartServiceW(service, 0, nullptr) || !WaitForState(service, SERVICE_RUNNING, 30000)) {
    fwprintf(stderr, L"%ls did not reach RUNNING (0x%08lx)\n", name, GetLastError());
    return false;
  }
  startMs = NowMs() - t0;
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
  bool ok = true;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    fwprintf(stderr, L"%ls: the stop request failed (0x%08lx)\n", name, GetLastError());
    ok = false;
  }
  if (!WaitForState(service, SERVICE_STOPPED, 30000)) {
    fwprintf(stderr, L"%ls did not reach STOPPED (0x%08lx)\n", name, GetLastError());
    ok = false;
  }
  stopMs = NowMs() - t1;
  if (processHandle != nullptr) {
    WaitForSingleObject(processHandle, 10000);
    CloseHandle(processHandle);
  }
  return ok;
}

struct Subject {
  const wchar_t* name;
  SC_HANDLE service;
  Series start, stop, stopAtStart;
};

void PrintSeries(const wchar_t* what, const Series& series) {
  wprintf(L"  %-9ls median %8.1f ms  p10 %8.1f  p90 %8.1f  spread %4.0f%%  min %8.1f  max %8.1f  (n=%zu)\n", what,
          series.Median(), series.Quantile(0.1), series.Quantile(0.9), 100 * series.Spread(), series.Min(),
          series.Max(), series.values.size());
  // BENCH_RAW=1 lists every value in the order taken, to see the shape
  // behind a median (two clusters, a drift, one outlier).
  wchar_t raw[8] = {};
  if (GetEnvironmentVariableW(L"BENCH_RAW", raw, 8) > 0 && raw[0] == L'1') {
    wprintf(L"           ");
    for (double value : series.values) wprintf(L" %.1f", value);
    wprintf(L"\n");
  }
}

void PrintComparison(const wchar_t* what, const Series& product, const Series& baseline, const wchar_t* target) {
  wprintf(L"%ls\n", what);
  PrintSeries(L"TVRSvc", product);
  PrintSeries(L"baseline", baseline);
  const double ratio = baseline.Median() > 0 ? product.Median() / baseline.Median() : 0;
  if (baseline.Spread() > kTooNoisySpread) {
    wprintf(L"  ratio %.2f%ls: too noisy to judge (the middle 80%% of the baseline's runs spread by %.0f%%)\n", ratio, target,
            100 * baseline.Spread());
  } else {
    wprintf(L"  ratio %.2f%ls\n", ratio, target);
  }
}

int StartStop(SC_HANDLE scm, const std::wstring& product, const std::wstring& baseline, int rounds) {
  constexpr int kSubjects = 3;
  Subject subjects[kSubjects] = {
      {L"TVRSvc", Install(scm, L"TVRSvc", product), {}, {}, {}},
      {L"TVRBaseline", Install(scm, L"TVRBaseline", baseline), {}, {}, {}},
      {L"TVRBaselineInHandler",
       Install(scm, L"TVRBaselineInHandler", baseline, L" --stopped-in-handler"), {}, {}, {}}};
  bool ok = true;
  for (const Subject& subject : subjects) ok = ok && subject.service != nullptr;
  for (int round = 0; round < rounds && ok; ++round) {
    for (int turn = 0; turn < kSubjects && ok; ++turn) {
      Subject& subject = subjects[(round + turn) % kSubjects];
      double startMs = 0, stopMs = 0;
      ok = Cycle(subject.service, subject.name, 1000, startMs, stopMs);
      subject.start.values.push_back(startMs);
      subject.stop.values.push_back(stopMs);
    }
    for (int turn = 0; turn < kSubjects && ok; ++turn) {
      Subject& subject = subjects[(round + turn + 1) % kSubjects];
      double startMs = 0, stopMs = 0;
      ok = Cycle(subject.service, subject.name, 0, startMs, stopMs);
      subject.start.values.push_back(startMs);
      subject.stopAtStart.values.push_back(stopMs);
    }
  }
  for (const Subject& subject : subjects) Remove(subject.service);
  if (!ok) return 1;
  wprintf(L"%d rounds, TVRSvc and the two baselines taking turns\n", rounds);
  PrintComparison(L"start to RUNNING", subjects[0].start, subjects[1].start, L" (target <= 1.1)");
  PrintComparison(L"stop to STOPPED, running 1 s", subjects[0].stop, subjects[1].stop, L" (target <= 1.3)");
  PrintComparison(L"stop to STOPPED, right at start", subjects[0].stopAtStart, subjects[1].stopAtStart,
                  L" (waits for the worker's set-up; never near the 5000 ms fallback)");
  PrintComparison(L"stop to STOPPED, running 1 s, against the baseline that reports STOPPED in its handler",
                  subjects[0].stop, subjects[2].stop, L"");
  return 0;
}

int Cycles(SC_HANDLE scm, const std::wstring& product, int count) {
  SC_HANDLE service = Install(scm, L"TVRSvc", product);
  if (service == nullptr) return 1;
  int failures = 0;
  Series start, stop;
  for (int i = 0; i < count; ++i) {
    double startMs = 0, stopMs = 0;
    if (Cycle(service, L"TVRSvc", 0, startMs, stopMs)) {
      start.values.push_back(startMs);
      stop.values.push_back(stopMs);
    } else {
      ++failures;
      fwprintf(stderr, L"cycle %d failed\n", i + 1);
    }
  }
  Remove(service);
  wprintf(L"%d start/stop cycles in a row: %d failed\n", count, failures);
  PrintSeries(L"start", start);
  PrintSeries(L"stop", stop);
  return failures == 0 ? 0 : 1;
}

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
  Remove(service);
  return rc;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (!((mode == L"startstop" && argc >= 4) || (mode == L"cycles" && argc >= 3) || (mode == L"hold" && argc >= 4))) {
    fwprintf(stderr,
             L"usage: scm_bench startstop <TVRSvc.exe> <baseline.exe> [rounds] | cycles <TVRSvc.exe> [count] | "
             L"hold <TVRSvc.exe> <seconds>\n");
    return 2;
  }
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) {
    fwprintf(stderr, L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
    return 1;
  }
  int rc = 0;
  if (mode == L"hold") {
    rc = Hold(scm, argv[2], _wtoi(argv[3]));
  } else if (mode == L"cycles") {
    rc = Cycles(scm, argv[2], argc > 3 ? _wtoi(argv[3]) : 50);
  } else {
    rc = StartStop(scm, argv[2], argv[3], std::max(kMinimumRounds, argc > 4 ? _wtoi(argv[4]) : kDefaultRounds));
  }
  CloseServiceHandle(scm);
  return rc;
}
