#include "simulator/bench.h"

#include <windows.h>

#include <algorithm>
#include <iomanip>
#include <thread>
#include <vector>

#include "mode/mode_check.h"
#include "simulator/machine.h"

namespace tvr_sim {

namespace {

constexpr unsigned kTablet = 2;

struct Figures {
  double median;
  double p99;
};

Figures Summarise(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  const size_t n = micros.size();
  const double median = n % 2 ? micros[n / 2] : (micros[n / 2 - 1] + micros[n / 2]) / 2;
  const size_t p99 = std::min(n - 1, static_cast<size_t>((n * 99 + 99) / 100) - 1);
  return {median, micros[p99]};
}

void Print(std::ostream& out, const char* what, int runs, const Figures& f) {
  out << std::fixed << std::setprecision(1) << what << ": median " << f.median << " us, 99th percentile " << f.p99
      << " us over " << runs << " runs\n";
}

}  // namespace

void RunDecisionBenchmarks(std::ostream& out, int runs) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  const double microsPerTick = 1e6 / static_cast<double>(frequency.QuadPart);

  SimulatedMachine machine(MachineOptions{1, /*logging=*/false});
  machine.Start();

  // Every run asks for the other posture, so every decision writes. Two
  // ways of delivering: on one delivery thread that is reused, as a pool
  // thread of WMI would be, and the simulator's own way, a fresh thread per
  // event (which adds the new thread's first touches of its stack).
  std::vector<double> reusedThread;
  reusedThread.reserve(runs);
  int missed = 0;
  std::thread delivery([&] {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int i = 0; i < runs; ++i) {
      const unsigned code = i % 2 == 0 ? kTablet : kLaptop;
      machine.SetPosture(code);
      const std::vector<tvr_test::FakeVariant> detail = {
          tvr_test::FakeVariant::Bytes({5, 0, 0, 0, 0, 0, static_cast<BYTE>(code), 0})};
      const int togglesBefore = machine.Toggles();
      LARGE_INTEGER start;
      ::QueryPerformanceCounter(&start);
      (void)machine.firmware().DeliverEvents(detail);
      if (machine.Toggles() != togglesBefore + 1) {
        ++missed;
        continue;
      }
      reusedThread.push_back(static_cast<double>(machine.LastWriteTicks() - start.QuadPart) * microsPerTick);
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
  });
  delivery.join();

  std::vector<double> freshThread;
  freshThread.reserve(runs);
  for (int i = 0; i < runs; ++i) {
    const unsigned code = i % 2 == 0 ? kTablet : kLaptop;
    machine.SetPosture(code);
    const int togglesBefore = machine.Toggles();
    LONGLONG start = 0;
    machine.RaiseEvent(code, 1, &start);
    if (machine.Toggles() != togglesBefore + 1) {
      ++missed;
      continue;
    }
    freshThread.push_back(static_cast<double>(machine.LastWriteTicks() - start) * microsPerTick);
  }

  std::vector<double> fullCheck;
  fullCheck.reserve(runs);
  for (int i = 0; i < runs; ++i) {
    machine.SetPosture(i % 2 == 0 ? kTablet : kLaptop);
    LARGE_INTEGER before, after;
    ::QueryPerformanceCounter(&before);
    CheckModeWithWMI();
    ::QueryPerformanceCounter(&after);
    fullCheck.push_back(static_cast<double>(after.QuadPart - before.QuadPart) * microsPerTick);
  }
  machine.Stop();

  if (!reusedThread.empty()) {
    Print(out, "firmware event -> indicator write (reused delivery thread)", static_cast<int>(reusedThread.size()),
          Summarise(reusedThread));
  }
  if (!freshThread.empty()) {
    Print(out, "firmware event -> indicator write (fresh thread per event)", static_cast<int>(freshThread.size()),
          Summarise(freshThread));
  }
  if (missed != 0) out << "  (" << missed << " events made no write and were left out)\n";
  Print(out, "full mode check (query, decision, write)", runs, Summarise(fullCheck));
  for (const std::string& leak : machine.Leaks()) out << "NOT GIVEN BACK: " << leak << "\n";
}

}  // namespace tvr_sim
