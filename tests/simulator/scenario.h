#pragma once
// Scenarios for the simulated convertible: plain text, one step per line,
// '#' starts a comment. The parser checks the whole file before anything runs
// and reports the first problem as "file:line: message".

#include <string>
#include <vector>

namespace tvr_sim {

enum class StepKind {
  kDevices,      // devices N: the machine's indicator devices (set-up, before every other step)
  kOsState,      // os-state laptop|slate: the system's slate state changes by itself
  kPosture,      // posture NAME|CODE: the firmware's posture changes (and raises its event)
  kStart,        // start: the service starts
  kStop,         // stop: the service stops
  kPower,        // suspend / resume / resume-automatic / power N: a power event
  kSession,      // session NAME|N: a session event
  kStandbyEnter, // standby enter: kernel-power event 506
  kStandbyExit,  // standby exit: kernel-power event 507
  kFaultStatus,  // fault status N: the firmware answers with status byte N
  kFaultMethod,  // fault method: the firmware's method call fails
  kFaultLost,    // fault lost: the next posture event is lost
  kFaultLate,    // fault late: the next posture event arrives after the following step
  kFaultTwice,   // fault twice: the next posture event arrives twice at once
  kFaultClear,   // fault clear: every fault is off
};

struct Step {
  StepKind kind;
  int line = 0;          // 1-based line in the scenario file
  std::string text;      // the step as written, without comment and outer blanks
  unsigned value = 0;    // device count, posture code, slate metric, event type or status byte
};

struct Scenario {
  std::string name;      // the file name, or "built-in"
  unsigned devices = 1;  // indicator devices of the machine
  std::vector<Step> steps;
};

struct ParseError {
  std::string file;
  int line = 0;  // 0: the problem is the file as a whole
  std::string message;
  // "file:line: message" (or "file: message" without a line).
  [[nodiscard]] std::string ToString() const;
};

// Parses `text`. On the first problem fills `error`, leaves `out` untouched and
// returns false.
[[nodiscard]] bool ParseScenario(const std::string& text, const std::string& fileName, Scenario* out,
                                 ParseError* error);

// Reads and parses a scenario file; a file that cannot be read is an error too.
[[nodiscard]] bool LoadScenario(const std::string& path, Scenario* out, ParseError* error);

// The built-in scenario `make run` shows: fold to tablet and back, sleep while
// folded and resume, connected standby while the posture changes, console
// reconnect, stop.
extern const char kBuiltInScenario[];

// Posture codes by name, for scenarios and the timeline.
[[nodiscard]] std::string PostureName(unsigned code);

// Names of the power and session event types the timeline shows.
[[nodiscard]] std::string PowerEventName(unsigned type);
[[nodiscard]] std::string SessionEventName(unsigned type);

}  // namespace tvr_sim
