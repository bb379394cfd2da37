#pragma once
// Runs a scenario on a simulated convertible and prints its timeline: one row
// per step with what happened, the trigger the service used, the firmware's
// posture, the slate state before and after and the diagnostic lines the
// service wrote during the step, then a one-line verdict.

#include <ostream>
#include <string>
#include <vector>

#include "simulator/scenario.h"

namespace tvr_sim {

struct TimelineRow {
  int number = 0;
  int line = 0;                // scenario line, 0 for what the runner adds at the end
  std::string step;            // the step as written
  std::string happened;        // what the machine did
  std::string trigger;         // the trigger the service used, or "none (...)"
  unsigned posture = 0;        // firmware posture after the step
  int slateBefore = 0, slateAfter = 0;
  long queries = 0;            // firmware GetFunction calls during the step
  int toggles = 0;             // slate flips during the step
  int events = 0;              // firmware events delivered during the step
  // The step fired a trigger the service is meant to act on (a delivered
  // event, or a check trigger while the firmware answers soundly); only such
  // rows are judged.
  bool judged = false;
  bool inLine = false;         // slate state agrees with the posture after the step
  std::vector<std::string> log;  // "function | message" of each new log line
};

struct RunResult {
  std::string scenario;
  unsigned devices = 1;
  std::vector<TimelineRow> rows;
  // What the simulator found not given back once the service had stopped.
  std::vector<std::string> leaks;

  [[nodiscard]] int Judged() const;
  [[nodiscard]] std::vector<int> OutOfLine() const;  // row numbers
  [[nodiscard]] bool AllInLine() const { return OutOfLine().empty(); }
};

// Runs every step on a fresh machine (logging switched on through the
// registry when `logging` holds) and stops the service at the end if the
// scenario left it running.
RunResult RunScenario(const Scenario& scenario, bool logging = true);

void PrintTimeline(const RunResult& result, std::ostream& out);
// The one-line verdict, without line end.
std::string Verdict(const RunResult& result);

}  // namespace tvr_sim
