// tvr_real: runs a scenario of the simulator's language against the shipped
// TVRSvc.exe, installed with its own -install in the end-to-end prefix, with
// the stand-in firmware and indicator devices (`make run REAL=1`).
//
// Only what Wine can deliver to an installed service is run: the start and
// stop, firmware posture changes with their events (lost, late, twice), and
// firmware faults. A scenario with any other step is refused, naming the
// file and line, before anything runs. Wine's slate metric is a constant,
// so each step is judged by whether the writes are the ones the service must
// make against that metric, not by whether a changing state ends in line.
//
// Exit codes: 0 every judged step wrote as decided and every WMI object was
// given back; 1 not; 2 usage or a scenario that cannot run here; 3 the
// service could not be installed, started or stopped.
#include <windows.h>
#include <wbemcli.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "indicator_devices.h"
#include "simulator/scenario.h"

namespace {

using namespace tvr_standin;
using tvr_sim::Step;
using tvr_sim::StepKind;

// Why a step cannot reach the installed service under Wine; null when it can.
const char* WhyNotDeliverable(StepKind kind) {
  switch (kind) {
    case StepKind::kOsState:
      return "the system's slate state cannot change under Wine (the metric is the constant 0)";
    case StepKind::kPower:
      return "Wine's service manager refuses power controls (ControlService 13 fails with 87)";
    case StepKind::kSession:
      return "Wine's service manager refuses session controls (ControlService 14 fails with 87)";
    case StepKind::kStandbyEnter:
    case StepKind::kStandbyExit:
      return "no kernel-power event reaches a trace session under Wine (OpenTraceW fails with 5)";
    default:
      return nullptr;
  }
}

bool WantsLaptop(unsigned code) { return code == 1 || code == 32; }
bool MustToggle(unsigned code) { return WantsLaptop(code) != (::GetSystemMetrics(SM_CONVERTIBLESLATEMODE) != 0); }

std::string Fit(const std::string& text, size_t width) {
  if (text.size() + 1 >= width) return text.substr(0, width - 2) + "  ";
  return text + std::string(width - text.size(), ' ');
}

struct Row {
  int number = 0;
  int line = 0;
  std::string step;
  std::string happened;
  unsigned posture = 0;
  bool judged = false;
  size_t expected = 0;                // bytes each device must get in this step
  std::vector<size_t> written;        // bytes each device got in this step
  std::vector<std::string> log;
  bool asDecided() const {
    for (size_t w : written) {
      if (w != expected) return false;
    }
    return true;
  }
};

class RealRun {
 public:
  explicit RealRun(const tvr_sim::Scenario& scenario) : scenario_(scenario) {}

  int Run() {
    if (!RemoveServiceIfPresent() || !SetLogSwitch(true)) return Fail("the service or the log switch is not ours");
    DeleteServiceLog();
    if (!WriteFirmwareState(firmware_)) return Fail("cannot write the firmware state");
    devices_ = std::make_unique<IndicatorDevices>(scenario_.devices);
    if (!devices_->ok()) return Fail(devices_->error());
    std::string output;
    if (RunAndWait(ProductExe(), L"-install", &output) != 0 || !ServiceInstalled()) return Fail("-install: " + output);

    for (const Step& step : scenario_.steps) {
      if (step.kind == StepKind::kDevices) continue;
      if (!Do(step)) {
        Cleanup();
        return 3;
      }
    }
    if (running_) {
      const Step stop{StepKind::kStop, 0, "stop (end of scenario)", 0};
      if (!Do(stop)) {
        Cleanup();
        return 3;
      }
    }
    Cleanup();
    Print();
    return (Failed().empty() && leaks_.empty()) ? 0 : 1;
  }

 private:
  int Fail(const std::string& why) {
    std::fprintf(stderr, "tvr_real: %s\n", why.c_str());
    Cleanup();
    return 3;
  }

  void Cleanup() {
    if (ServiceInstalled()) {
      std::string output;
      (void)RunAndWait(ProductExe(), L"-remove", &output);
      (void)RemoveServiceIfPresent();
    }
    devices_.reset();
    (void)WriteFirmwareState({});
  }

  std::vector<size_t> Counts() const {
    std::vector<size_t> counts;
    for (unsigned d = 0; d < devices_->count(); ++d) counts.push_back(devices_->Bytes(d).size());
    return counts;
  }

  // Raises the event of `code` now; returns what each device must get.
  size_t Deliver(unsigned code, unsigned objects, Row& row) {
    const int reached = RaiseFirmwareEvent(pid_, UsageModeEventDetail(code), objects);
    if (reached <= 0) {
      row.happened += reached == 0 ? "; the event reached no subscription" : "; the provider was not reached";
      return 0;
    }
    row.judged = true;
    row.happened += objects == 2 ? "; its event arrived twice at once" : "; its event arrived";
    return MustToggle(code) ? objects : 0;
  }

  bool Do(const Step& step) {
    Row row;
    row.number = static_cast<int>(rows_.size()) + 1;
    row.line = step.line;
    row.step = step.text;
    const std::vector<size_t> before = Counts();
    const size_t logBefore = ReadServiceLog().size();
    size_t expected = 0;
    // A late event from the step before arrives now, before this step acts.
    if (late_ && running_) {
      row.happened = "the late event of posture " + tvr_sim::PostureName(*late_) + " arrives";
      expected += Deliver(*late_, 1, row);
      late_.reset();
    }
    auto note = [&](const std::string& text) { row.happened += (row.happened.empty() ? "" : "; ") + text; };

    switch (step.kind) {
      case StepKind::kStart: {
        if (running_) {
          note("already running");
          break;
        }
        const size_t mark = ReadJournal().size();
        if (!StartInstalledService(&pid_)) {
          std::fprintf(stderr, "tvr_real: line %d: the service did not start\n", step.line);
          return false;
        }
        running_ = true;
        pids_.push_back(pid_);
        const bool checked = WaitUntil(
            [&] {
              for (const std::string& l : JournalLines(ReadJournal(), pid_, "free #", mark)) {
                if (l.find(" Locator") != std::string::npos) return true;
              }
              return false;
            },
            15000);
        note("the service started (pid " + std::to_string(pid_) + ")" + (checked ? "" : ", its check never ended"));
        const bool answers = firmware_.status == 0 && firmware_.failMethod == S_OK;
        row.judged = answers;
        if (answers && MustToggle(firmware_.posture)) expected += 1;
        if (!answers) note("the firmware gives no valid mode, so the start-up check must leave the state alone");
        break;
      }
      case StepKind::kStop:
        if (!running_) {
          note("not running");
          break;
        }
        if (!StopInstalledService()) {
          std::fprintf(stderr, "tvr_real: line %d: the service did not stop\n", step.line);
          return false;
        }
        running_ = false;
        note("the service stopped");
        for (const std::string& leak : UnreleasedObjects(ReadJournal(), pid_)) {
          leaks_.push_back("pid " + std::to_string(pid_) + " " + leak);
        }
        break;
      case StepKind::kPosture: {
        firmware_.posture = step.value;
        (void)WriteFirmwareState(firmware_);
        note("the firmware now reports " + tvr_sim::PostureName(step.value));
        if (!running_) {
          note("no service to tell");
        } else if (fault_ == StepKind::kFaultLost) {
          note("its event is lost");
        } else if (fault_ == StepKind::kFaultLate) {
          late_ = step.value;
          note("its event is held back");
        } else {
          expected += Deliver(step.value, fault_ == StepKind::kFaultTwice ? 2 : 1, row);
        }
        if (fault_ == StepKind::kFaultLost || fault_ == StepKind::kFaultLate || fault_ == StepKind::kFaultTwice) {
          fault_.reset();
        }
        break;
      }
      case StepKind::kFaultStatus:
        firmware_.status = step.value;
        (void)WriteFirmwareState(firmware_);
        note("GetFunction now answers with status byte " + std::to_string(step.value));
        break;
      case StepKind::kFaultMethod:
        firmware_.failMethod = static_cast<HRESULT>(WBEM_E_FAILED);
        (void)WriteFirmwareState(firmware_);
        note("GetFunction now fails (WBEM_E_FAILED)");
        break;
      case StepKind::kFaultLost:
      case StepKind::kFaultLate:
      case StepKind::kFaultTwice:
        fault_ = step.kind;
        note("the next posture event will go astray");
        break;
      case StepKind::kFaultClear:
        firmware_.status = 0;
        firmware_.failMethod = S_OK;
        fault_.reset();
        (void)WriteFirmwareState(firmware_);
        note("every fault is off");
        break;
      default:
        break;
    }

    // Give the writes that must come time to land, and strays time to show.
    for (unsigned d = 0; d < devices_->count(); ++d) {
      if (expected > 0) (void)devices_->WaitForBytes(d, before[d] + expected, 15000);
    }
    ::Sleep(300);
    const std::vector<size_t> after = Counts();
    for (size_t d = 0; d < after.size(); ++d) row.written.push_back(after[d] - before[d]);
    row.expected = expected;
    row.posture = firmware_.posture;
    const std::vector<LogLine> log = ReadServiceLog();
    for (size_t i = logBefore; i < log.size(); ++i) {
      row.log.push_back(log[i].wellFormed ? log[i].function + " | " + log[i].message : "malformed: " + log[i].raw);
    }
    if (!row.judged && !row.asDecided()) row.judged = true;  // a write nobody asked for is always wrong
    rows_.push_back(row);
    return true;
  }

  std::vector<int> Failed() const {
    std::vector<int> failed;
    for (const Row& r : rows_) {
      if (r.judged && !r.asDecided()) failed.push_back(r.number);
    }
    return failed;
  }

  void Print() const {
    std::printf("Installed TVRSvc.exe under Wine - scenario %s, %u indicator device%s; the firmware starts in laptop "
                "posture; Wine's slate metric is %d (%s) throughout\n\n",
                scenario_.name.c_str(), scenario_.devices, scenario_.devices == 1 ? "" : "s",
                ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE),
                ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE) ? "laptop" : "slate");
    std::printf("  # line  %s%s%s%s\n", Fit("step", 27).c_str(), Fit("posture", 16).c_str(),
                Fit("bytes per device (must)", 28).c_str(), "as decided");
    int judged = 0;
    for (const Row& r : rows_) {
      std::string written;
      for (size_t w : r.written) written += (written.empty() ? "" : "/") + std::to_string(w);
      written += " (" + std::to_string(r.expected) + ")";
      if (r.judged) ++judged;
      std::printf("%3d %4s  %s%s%s%s\n", r.number, r.line > 0 ? std::to_string(r.line).c_str() : "-",
                  Fit(r.step, 27).c_str(), Fit(tvr_sim::PostureName(r.posture), 16).c_str(),
                  Fit(written, 28).c_str(), r.judged ? (r.asDecided() ? "yes" : "NO") : "-");
      std::printf("          %s\n", r.happened.c_str());
      for (const std::string& l : r.log) std::printf("          log: %s\n", l.c_str());
    }
    std::printf("\n");
    for (const std::string& leak : leaks_) std::printf("NOT GIVEN BACK: %s\n", leak.c_str());
    const std::vector<int> failed = Failed();
    if (failed.empty() && leaks_.empty()) {
      std::printf("verdict: all %d judged steps wrote exactly what the service must write against Wine's metric; "
                  "every WMI object was given back\n", judged);
    } else {
      std::string list;
      for (int n : failed) list += " #" + std::to_string(n);
      std::printf("verdict: NOT as decided:%s%s\n", list.empty() ? " none" : list.c_str(),
                  leaks_.empty() ? "" : "; WMI objects not given back");
    }
    std::fflush(stdout);
  }

  const tvr_sim::Scenario& scenario_;
  std::unique_ptr<IndicatorDevices> devices_;
  FirmwareState firmware_;
  bool running_ = false;
  DWORD pid_ = 0;
  std::vector<DWORD> pids_;
  std::optional<StepKind> fault_;
  std::optional<unsigned> late_;
  std::vector<Row> rows_;
  std::vector<std::string> leaks_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tvr_real SCENARIO.txt\n");
    return 2;
  }
  tvr_sim::Scenario scenario;
  tvr_sim::ParseError error;
  if (!tvr_sim::LoadScenario(argv[1], &scenario, &error)) {
    std::fprintf(stderr, "%s\nnothing was run.\n", error.ToString().c_str());
    return 2;
  }
  // Every step is checked before anything runs.
  bool refused = false;
  for (const Step& step : scenario.steps) {
    if (const char* why = WhyNotDeliverable(step.kind)) {
      std::fprintf(stderr, "%s:%d: '%s' cannot be delivered to the installed service: %s\n", scenario.name.c_str(),
                   step.line, step.text.c_str(), why);
      refused = true;
    }
  }
  if (refused) {
    std::fprintf(stderr, "nothing was run.\n");
    return 2;
  }
  return RealRun(scenario).Run();
}
