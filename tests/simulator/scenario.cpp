#include "simulator/scenario.h"

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace tvr_sim {

const char kBuiltInScenario[] = R"(# A day of a convertible, as `make run` shows it.
start                        # laptop posture, laptop state: the first check agrees
posture tablet               # folded to tablet: the firmware event flips the state to slate
posture laptop               # and back: flipped to laptop again
suspend                      # goes to sleep ...
posture tablet               # ... and is folded while asleep: no event reaches a sleeping system
resume                       # resume from suspend: the check catches up
standby enter                # connected standby ...
posture laptop               # ... unfolded meanwhile: again no event
standby exit                 # leaving connected standby: the check catches up
session console-disconnect   # the console goes away ...
session console-connect      # ... and comes back: one more check, which agrees
stop
)";

namespace {

struct Named {
  const char* name;
  unsigned value;
};

// The service tells only laptop (1) and floating (32) from the rest; the other
// names are the simulator's own, for readable scenarios.
constexpr Named kPostures[] = {{"laptop", 1}, {"floating", 32}, {"tablet", 2}, {"tent", 3}, {"stand", 4}};
constexpr char kPostureChoices[] = "laptop, floating, tablet, tent, stand or a code 0..255";

constexpr Named kSessions[] = {
    {"console-connect", WTS_CONSOLE_CONNECT}, {"console-disconnect", WTS_CONSOLE_DISCONNECT},
    {"remote-connect", WTS_REMOTE_CONNECT},   {"remote-disconnect", WTS_REMOTE_DISCONNECT},
    {"logon", WTS_SESSION_LOGON},             {"logoff", WTS_SESSION_LOGOFF},
    {"lock", WTS_SESSION_LOCK},               {"unlock", WTS_SESSION_UNLOCK},
    {"remote-control", WTS_SESSION_REMOTE_CONTROL}, {"create", WTS_SESSION_CREATE},
    {"terminate", WTS_SESSION_TERMINATE}};

constexpr unsigned kMaxDevices = 8;

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

// Decimal or 0x-hexadecimal, the whole token, at most 32 bits.
bool ParseNumber(const std::string& token, unsigned* out) {
  if (token.empty()) return false;
  int base = 10;
  size_t start = 0;
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    base = 16;
    start = 2;
  }
  std::uint64_t value = 0;
  for (size_t i = start; i < token.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(token[i]);
    unsigned digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<unsigned>(value);
  return true;
}

template <size_t N>
bool Lookup(const Named (&table)[N], const std::string& name, unsigned* out) {
  for (const Named& entry : table) {
    if (name == entry.name) {
      *out = entry.value;
      return true;
    }
  }
  return false;
}

template <size_t N>
const char* NameOf(const Named (&table)[N], unsigned value) {
  for (const Named& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

std::string SessionChoices() {
  std::string text;
  for (const Named& entry : kSessions) text += std::string(entry.name) + ", ";
  return text + "or an event type number";
}

std::vector<std::string> Tokens(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> tokens;
  std::string token;
  while (in >> token) tokens.push_back(token);
  return tokens;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Parses one step (comment already removed). Returns "" or the problem.
std::string ParseStep(const std::vector<std::string>& t, Step* step) {
  const std::string& word = t[0];
  const size_t args = t.size() - 1;
  auto noArgument = [&](StepKind kind) -> std::string {
    if (args != 0) return Quote(word) + " takes no argument, got " + Quote(t[1]);
    step->kind = kind;
    return "";
  };
  auto oneArgument = [&](const std::string& what) -> std::string {
    if (args == 0) return Quote(word) + " needs " + what;
    if (args > 1) return Quote(word) + " takes one argument, got " + Quote(t[2]) + " too";
    return "";
  };

  if (word == "start") return noArgument(StepKind::kStart);
  if (word == "stop") return noArgument(StepKind::kStop);
  if (word == "suspend" || word == "resume" || word == "resume-automatic") {
    step->value = word == "suspend" ? PBT_APMSUSPEND : word == "resume" ? PBT_APMRESUMESUSPEND : PBT_APMRESUMEAUTOMATIC;
    return noArgument(StepKind::kPower);
  }
  if (word == "power") {
    if (std::string problem = oneArgument("an event type number (suspend, resume and resume-automatic have steps of "
                                           "their own)");
        !problem.empty()) {
      return problem;
    }
    if (!ParseNumber(t[1], &step->value)) return "power event type " + Quote(t[1]) + " is not a number";
    step->kind = StepKind::kPower;
    return "";
  }
  if (word == "session") {
    if (std::string problem = oneArgument("an event: " + SessionChoices()); !problem.empty()) return problem;
    if (!Lookup(kSessions, t[1], &step->value) && !ParseNumber(t[1], &step->value)) {
      return "unknown session event " + Quote(t[1]) + ": use " + SessionChoices();
    }
    step->kind = StepKind::kSession;
    return "";
  }
  if (word == "standby") {
    if (std::string problem = oneArgument("\"enter\" or \"exit\""); !problem.empty()) return problem;
    if (t[1] == "enter") {
      step->kind = StepKind::kStandbyEnter;
    } else if (t[1] == "exit") {
      step->kind = StepKind::kStandbyExit;
    } else {
      return "\"standby\" needs \"enter\" or \"exit\", got " + Quote(t[1]);
    }
    return "";
  }
  if (word == "posture") {
    if (std::string problem = oneArgument(std::string("a posture: ") + kPostureChoices); !problem.empty()) {
      return problem;
    }
    if (Lookup(kPostures, t[1], &step->value)) {
      step->kind = StepKind::kPosture;
      return "";
    }
    unsigned code;
    if (!ParseNumber(t[1], &code)) {
      return "unknown posture " + Quote(t[1]) + ": use " + kPostureChoices;
    }
    // The firmware's method answer carries the code in one byte.
    if (code > 255) return "posture code " + t[1] + " is out of range 0..255";
    step->value = code;
    step->kind = StepKind::kPosture;
    return "";
  }
  if (word == "os-state") {
    if (std::string problem = oneArgument("\"laptop\" or \"slate\""); !problem.empty()) return problem;
    if (t[1] == "laptop") {
      step->value = 1;
    } else if (t[1] == "slate") {
      step->value = 0;
    } else {
      return "\"os-state\" needs \"laptop\" or \"slate\", got " + Quote(t[1]);
    }
    step->kind = StepKind::kOsState;
    return "";
  }
  if (word == "devices") {
    if (std::string problem = oneArgument("a count 1.." + std::to_string(kMaxDevices)); !problem.empty()) {
      return problem;
    }
    if (!ParseNumber(t[1], &step->value) || step->value < 1 || step->value > kMaxDevices) {
      return "device count " + Quote(t[1]) + " is not a number 1.." + std::to_string(kMaxDevices);
    }
    step->kind = StepKind::kDevices;
    return "";
  }
  if (word == "fault") {
    const std::string choices = "status <1..255>, method, lost, late, twice or clear";
    if (args == 0) return "\"fault\" needs one of: " + choices;
    const std::string& which = t[1];
    if (which == "status") {
      if (args != 2) return "\"fault status\" needs one status byte 1..255";
      unsigned status;
      if (!ParseNumber(t[2], &status)) return "fault status " + Quote(t[2]) + " is not a number";
      if (status == 0 || status > 255) {
        return "fault status " + t[2] + " is out of range 1..255 (\"fault clear\" ends the fault)";
      }
      step->value = status;
      step->kind = StepKind::kFaultStatus;
      return "";
    }
    StepKind kind;
    if (which == "method") {
      kind = StepKind::kFaultMethod;
    } else if (which == "lost") {
      kind = StepKind::kFaultLost;
    } else if (which == "late") {
      kind = StepKind::kFaultLate;
    } else if (which == "twice") {
      kind = StepKind::kFaultTwice;
    } else if (which == "clear") {
      kind = StepKind::kFaultClear;
    } else {
      return "unknown fault " + Quote(which) + ": use " + choices;
    }
    if (args != 1) return "\"fault " + which + "\" takes no argument, got " + Quote(t[2]);
    step->kind = kind;
    return "";
  }
  return "unknown step " + Quote(word);
}

bool NeedsRunningService(StepKind kind) {
  switch (kind) {
    case StepKind::kStop:
    case StepKind::kPower:
    case StepKind::kSession:
    case StepKind::kStandbyEnter:
    case StepKind::kStandbyExit:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string ParseError::ToString() const {
  if (line <= 0) return file + ": " + message;
  return file + ":" + std::to_string(line) + ": " + message;
}

bool ParseScenario(const std::string& text, const std::string& fileName, Scenario* out, ParseError* error) {
  Scenario scenario;
  scenario.name = fileName;
  bool devicesSeen = false;
  int startedAt = 0;  // line of the "start" that the service runs from, 0 when stopped
  auto fail = [&](int line, const std::string& message) {
    *error = ParseError{fileName, line, message};
    return false;
  };

  std::istringstream in(text);
  std::string raw;
  int lineNumber = 0;
  while (std::getline(in, raw)) {
    ++lineNumber;
    const std::string stepText = Trim(raw.substr(0, raw.find('#')));
    if (stepText.empty()) continue;
    Step step;
    step.line = lineNumber;
    step.text = stepText;
    if (std::string problem = ParseStep(Tokens(stepText), &step); !problem.empty()) return fail(lineNumber, problem);

    if (step.kind == StepKind::kDevices) {
      if (!scenario.steps.empty()) return fail(lineNumber, "\"devices\" must come before every other step");
      if (devicesSeen) return fail(lineNumber, "\"devices\" is given twice");
      devicesSeen = true;
      scenario.devices = step.value;
      continue;
    }
    const std::string word = Tokens(stepText)[0];
    if (NeedsRunningService(step.kind) && startedAt == 0) {
      return fail(lineNumber, Quote(word) + " needs the service running: add \"start\" before it");
    }
    if (step.kind == StepKind::kStart) {
      if (startedAt != 0) {
        return fail(lineNumber, "\"start\": the service is already running (started at line " +
                                    std::to_string(startedAt) + ")");
      }
      startedAt = lineNumber;
    }
    if (step.kind == StepKind::kStop) startedAt = 0;
    scenario.steps.push_back(step);
  }
  if (scenario.steps.empty()) return fail(0, "the scenario has no steps");
  *out = std::move(scenario);
  return true;
}

bool LoadScenario(const std::string& path, Scenario* out, ParseError* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = ParseError{path, 0, "cannot read the scenario file"};
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseScenario(text.str(), path, out, error);
}

std::string PostureName(unsigned code) {
  if (const char* name = NameOf(kPostures, code)) return std::string(name) + " (" + std::to_string(code) + ")";
  return "code " + std::to_string(code);
}

std::string PowerEventName(unsigned type) {
  switch (type) {
    case PBT_APMSUSPEND: return "PBT_APMSUSPEND";
    case PBT_APMRESUMESUSPEND: return "PBT_APMRESUMESUSPEND";
    case PBT_APMRESUMEAUTOMATIC: return "PBT_APMRESUMEAUTOMATIC";
    default: return "power event " + std::to_string(type);
  }
}

std::string SessionEventName(unsigned type) {
  if (const char* name = NameOf(kSessions, type)) return name;
  return "session event " + std::to_string(type);
}

}  // namespace tvr_sim
