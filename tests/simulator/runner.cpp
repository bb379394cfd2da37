#include "simulator/runner.h"

#include <windows.h>

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <utility>

#include "common/log_fixture.h"
#include "simulator/machine.h"

namespace tvr_sim {

namespace {

std::string SlateName(int metric) { return metric != 0 ? "laptop" : "slate"; }

enum class EventFault { kNone, kLost, kLate, kTwice };

struct LateEvent {
  unsigned code;
  size_t deliverAfter;  // index of the step after which it arrives
};

std::string LogEntry(const std::string& line) {
  tvr_test::ParsedLogLine parsed;
  if (!tvr_test::ParseLogLine(line, &parsed)) return line;
  return parsed.function + " | " + parsed.message;
}

class Runner {
 public:
  Runner(const Scenario& scenario, bool logging)
      : scenario_(scenario), machine_(MachineOptions{scenario.devices, logging}) {}

  RunResult Run() {
    RunResult result;
    result.scenario = scenario_.name;
    result.devices = scenario_.devices;
    for (size_t i = 0; i < scenario_.steps.size(); ++i) {
      const Step& step = scenario_.steps[i];
      TimelineRow row = Begin(step.line, step.text);
      Perform(step, i, row);
      DeliverLate(i, row);
      result.rows.push_back(Finish(row));
    }
    if (!late_.empty()) {
      TimelineRow row = Begin(0, "(end of scenario)");
      row.happened = "held-back events arrive";
      DeliverLate(scenario_.steps.size(), row);
      result.rows.push_back(Finish(row));
    }
    if (machine_.Running()) {
      TimelineRow row = Begin(0, "(end of scenario)");
      machine_.Stop();
      row.happened = "service stopped";
      row.trigger = "none";
      result.rows.push_back(Finish(row));
    }
    result.leaks = machine_.Leaks();
    return result;
  }

 private:
  TimelineRow Begin(int line, const std::string& text) {
    TimelineRow row;
    row.number = ++number_;
    row.line = line;
    row.step = text;
    row.slateBefore = machine_.Slate();
    queries_ = machine_.Checks();
    toggles_ = machine_.Toggles();
    events_ = machine_.EventsDelivered();
    return row;
  }

  TimelineRow& Finish(TimelineRow& row) {
    row.posture = machine_.Posture();
    row.slateAfter = machine_.Slate();
    row.queries = machine_.Checks() - queries_;
    row.toggles = machine_.Toggles() - toggles_;
    row.events = machine_.EventsDelivered() - events_;
    row.inLine = machine_.InLine();
    const std::vector<std::string> lines = machine_.LogLines();
    for (size_t i = logSeen_; i < lines.size(); ++i) row.log.push_back(LogEntry(lines[i]));
    logSeen_ = std::max(logSeen_, lines.size());
    return row;
  }

  // A check trigger is one the service is meant to act on only while the
  // firmware answers soundly: with a bad status or a failing call it must
  // leave the state alone.
  void CheckTrigger(TimelineRow& row, const std::string& name) {
    row.trigger = name + ": mode check";
    if (machine_.FirmwareHealthy()) {
      row.judged = true;
    } else {
      row.happened += "; the firmware answers with a fault, so the state is to be left alone (not judged)";
    }
  }

  void Perform(const Step& step, size_t index, TimelineRow& row) {
    row.trigger = "none";
    switch (step.kind) {
      case StepKind::kDevices:
        break;  // consumed by the parser
      case StepKind::kStart:
        machine_.Start();
        row.happened = "service started";
        CheckTrigger(row, "start");
        break;
      case StepKind::kStop:
        machine_.Stop();
        row.happened = "service stopped";
        break;
      case StepKind::kOsState:
        machine_.SetSlate(static_cast<int>(step.value));
        row.happened = "the system's slate state becomes " + SlateName(static_cast<int>(step.value)) +
                       " by itself";
        break;
      case StepKind::kPosture:
        Posture(step.value, index, row);
        break;
      case StepKind::kPower:
        machine_.Power(step.value);
        row.happened = PowerEventName(step.value) + " delivered";
        if (step.value == PBT_APMSUSPEND) asleep_ = true;
        if (step.value == PBT_APMRESUMESUSPEND || step.value == PBT_APMRESUMEAUTOMATIC) asleep_ = false;
        if (step.value == PBT_APMRESUMESUSPEND) {
          CheckTrigger(row, "resume from suspend");
        } else {
          row.trigger = "none (only logged)";
        }
        break;
      case StepKind::kSession:
        machine_.Session(step.value);
        row.happened = SessionEventName(step.value) + " delivered";
        if (step.value == WTS_CONSOLE_CONNECT) {
          CheckTrigger(row, "console connect");
        } else {
          row.trigger = "none (only logged)";
        }
        break;
      case StepKind::kStandbyEnter:
        machine_.Standby(true);
        asleep_ = true;
        row.happened = "connected standby entered (kernel-power 506)";
        row.trigger = "none (only logged)";
        break;
      case StepKind::kStandbyExit:
        machine_.Standby(false);
        asleep_ = false;
        row.happened = "connected standby left (kernel-power 507)";
        CheckTrigger(row, "standby exit");
        break;
      case StepKind::kFaultStatus:
        machine_.SetStatusFault(step.value);
        row.happened = "firmware now answers with status byte " + std::to_string(step.value);
        break;
      case StepKind::kFaultMethod:
        machine_.SetMethodFault(true);
        row.happened = "firmware's GetFunction now fails";
        break;
      case StepKind::kFaultLost:
        eventFault_ = EventFault::kLost;
        row.happened = "the next posture event will be lost";
        break;
      case StepKind::kFaultLate:
        eventFault_ = EventFault::kLate;
        row.happened = "the next posture event will arrive after the step that follows it";
        break;
      case StepKind::kFaultTwice:
        eventFault_ = EventFault::kTwice;
        row.happened = "the next posture event will arrive twice at once";
        break;
      case StepKind::kFaultClear:
        machine_.SetStatusFault(0);
        machine_.SetMethodFault(false);
        eventFault_ = EventFault::kNone;
        row.happened = "firmware faults cleared";
        break;
    }
  }

  void Posture(unsigned code, size_t index, TimelineRow& row) {
    machine_.SetPosture(code);
    row.happened = "firmware posture becomes " + PostureName(code);
    // A sleeping system receives no firmware event; the next resume or
    // standby exit has to catch up.
    if (asleep_) {
      row.happened += "; the system sleeps, no event";
      row.trigger = "none (no event)";
      return;
    }
    const EventFault fault = std::exchange(eventFault_, EventFault::kNone);
    if (fault == EventFault::kLost) {
      row.happened += "; its event is lost";
      row.trigger = "none (event lost)";
      return;
    }
    if (fault == EventFault::kLate) {
      late_.push_back({code, index + 1});
      row.happened += "; its event is held back";
      row.trigger = "none (event late)";
      return;
    }
    const int copies = fault == EventFault::kTwice ? 2 : 1;
    const int delivered = machine_.RaiseEvent(code, copies);
    if (delivered == 0) {
      row.happened += "; nobody is subscribed to its event";
      row.trigger = "none (not subscribed)";
      return;
    }
    row.happened += delivered == 1 ? "; its event is delivered" : "; its event is delivered twice at once";
    row.trigger = delivered == 1 ? "firmware event" : "firmware event x2";
    row.judged = true;
  }

  void DeliverLate(size_t index, TimelineRow& row) {
    for (auto it = late_.begin(); it != late_.end();) {
      if (it->deliverAfter > index) {
        ++it;
        continue;
      }
      const int delivered = machine_.RaiseEvent(it->code);
      std::string note = "the held-back event (" + PostureName(it->code) + ") ";
      note += delivered != 0 ? "arrives" : "arrives with nobody subscribed";
      row.happened += row.happened.empty() ? note : "; then " + note;
      if (delivered != 0) {
        const bool noTriggerYet = row.trigger.empty() || row.trigger.rfind("none", 0) == 0;
        row.trigger = noTriggerYet ? "late firmware event" : row.trigger + " + late firmware event";
        row.judged = true;
      }
      it = late_.erase(it);
    }
  }

  const Scenario& scenario_;
  SimulatedMachine machine_;
  int number_ = 0;
  bool asleep_ = false;
  EventFault eventFault_ = EventFault::kNone;
  std::vector<LateEvent> late_;
  size_t logSeen_ = 0;
  long queries_ = 0;
  int toggles_ = 0;
  int events_ = 0;
};

std::string Fit(const std::string& text, size_t width) {
  if (text.size() <= width) return text + std::string(width - text.size(), ' ');
  return text.substr(0, width - 1) + "~";
}

}  // namespace

int RunResult::Judged() const {
  return static_cast<int>(std::count_if(rows.begin(), rows.end(), [](const TimelineRow& r) { return r.judged; }));
}

std::vector<int> RunResult::OutOfLine() const {
  std::vector<int> numbers;
  for (const TimelineRow& row : rows) {
    if (row.judged && !row.inLine) numbers.push_back(row.number);
  }
  return numbers;
}

RunResult RunScenario(const Scenario& scenario, bool logging) {
  Runner runner(scenario, logging);
  return runner.Run();
}

std::string Verdict(const RunResult& result) {
  const std::vector<int> out = result.OutOfLine();
  std::ostringstream text;
  if (out.empty()) {
    text << "VERDICT: IN LINE - the slate state agreed with the posture after all " << result.Judged()
         << " triggers the service acts on";
  } else {
    text << "VERDICT: OUT OF LINE - the slate state disagreed with the posture after " << out.size() << " of "
         << result.Judged() << " triggers the service acts on (rows";
    for (int number : out) text << " " << number;
    text << ")";
  }
  if (!result.leaks.empty()) text << "; " << result.leaks.size() << " kinds of resources not given back";
  return text.str();
}

void PrintTimeline(const RunResult& result, std::ostream& out) {
  out << "Simulated convertible - scenario " << result.scenario << ", " << result.devices << " indicator device"
      << (result.devices == 1 ? "" : "s") << "; starts in laptop posture with the slate state laptop\n\n";
  out << "  # line  " << Fit("step", 27) << Fit("trigger the service used", 40) << Fit("posture", 14)
      << Fit("slate before -> after", 22) << "in line\n";
  for (const TimelineRow& row : result.rows) {
    std::ostringstream head;
    head << std::setw(3) << row.number << " " << std::setw(4) << (row.line > 0 ? std::to_string(row.line) : "-")
         << "  " << Fit(row.step, 27) << Fit(row.trigger, 40) << Fit(PostureName(row.posture), 14)
         << Fit(SlateName(row.slateBefore) + " -> " + SlateName(row.slateAfter), 22)
         << (row.judged ? (row.inLine ? "yes" : "NO") : "-");
    out << head.str() << "\n";
    out << "          " << row.happened << " [" << row.queries << " firmware quer" << (row.queries == 1 ? "y" : "ies")
        << ", " << row.toggles << " toggle" << (row.toggles == 1 ? "" : "s") << "]\n";
    for (const std::string& line : row.log) out << "          log: " << line << "\n";
  }
  out << "\n";
  for (const std::string& leak : result.leaks) out << "NOT GIVEN BACK: " << leak << "\n";
  out << Verdict(result) << "\n";
}

}  // namespace tvr_sim
