// The scenario language: what a malformed line is told, what a sound file
// turns into, and that every scenario shipped with the simulator parses.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "simulator/scenario.h"

namespace {

using tvr_sim::ParseError;
using tvr_sim::Scenario;
using tvr_sim::StepKind;

struct MalformedCase {
  const char* text;
  int line;
  const char* message;
};

TEST(ScenarioParser, MalformedLinesNameTheLineAndTheProblem) {
  const MalformedCase cases[] = {
      {"start\njump\n", 2, "unknown step \"jump\""},
      {"start now\n", 1, "\"start\" takes no argument, got \"now\""},
      {"start\nstop please\n", 2, "\"stop\" takes no argument, got \"please\""},
      {"posture\n", 1, "\"posture\" needs a posture: laptop, floating, tablet, tent, stand or a code 0..255"},
      {"posture tablett\n", 1,
       "unknown posture \"tablett\": use laptop, floating, tablet, tent, stand or a code 0..255"},
      {"posture 256\n", 1, "posture code 256 is out of range 0..255"},
      {"posture 0x1ff\n", 1, "posture code 0x1ff is out of range 0..255"},
      {"posture 99999999999\n", 1,
       "unknown posture \"99999999999\": use laptop, floating, tablet, tent, stand or a code 0..255"},
      {"posture tablet laptop\n", 1, "\"posture\" takes one argument, got \"laptop\" too"},
      {"# comment\n\nresume\n", 3, "\"resume\" needs the service running: add \"start\" before it"},
      {"start\nstop\nsuspend\n", 3, "\"suspend\" needs the service running: add \"start\" before it"},
      {"standby exit\n", 1, "\"standby\" needs the service running: add \"start\" before it"},
      {"start\n  start\n", 2, "\"start\": the service is already running (started at line 1)"},
      {"start\nstandby\n", 2, "\"standby\" needs \"enter\" or \"exit\""},
      {"start\nstandby leave\n", 2, "\"standby\" needs \"enter\" or \"exit\", got \"leave\""},
      {"start\nsession\n", 2,
       "\"session\" needs an event: console-connect, console-disconnect, remote-connect, remote-disconnect, "
       "logon, logoff, lock, unlock, remote-control, create, terminate, or an event type number"},
      {"start\nsession console_connect\n", 2,
       "unknown session event \"console_connect\": use console-connect, console-disconnect, remote-connect, "
       "remote-disconnect, logon, logoff, lock, unlock, remote-control, create, terminate, or an event type number"},
      {"start\npower sleep\n", 2, "power event type \"sleep\" is not a number"},
      {"start\npower\n", 2,
       "\"power\" needs an event type number (suspend, resume and resume-automatic have steps of their own)"},
      {"os-state tablet\n", 1, "\"os-state\" needs \"laptop\" or \"slate\", got \"tablet\""},
      {"devices 0\nstart\n", 1, "device count \"0\" is not a number 1..8"},
      {"devices 9\n", 1, "device count \"9\" is not a number 1..8"},
      {"devices two\n", 1, "device count \"two\" is not a number 1..8"},
      {"start\ndevices 2\n", 2, "\"devices\" must come before every other step"},
      {"devices 2\ndevices 3\n", 2, "\"devices\" is given twice"},
      {"fault\n", 1, "\"fault\" needs one of: status <1..255>, method, lost, late, twice or clear"},
      {"fault gone\n", 1, "unknown fault \"gone\": use status <1..255>, method, lost, late, twice or clear"},
      {"fault status\n", 1, "\"fault status\" needs one status byte 1..255"},
      {"fault status 0\n", 1, "fault status 0 is out of range 1..255 (\"fault clear\" ends the fault)"},
      {"fault status 300\n", 1, "fault status 300 is out of range 1..255 (\"fault clear\" ends the fault)"},
      {"fault status x\n", 1, "fault status \"x\" is not a number"},
      {"fault lost now\n", 1, "\"fault lost\" takes no argument, got \"now\""},
      {"# only comments\n\n   # and blanks\n", 0, "the scenario has no steps"},
      {"", 0, "the scenario has no steps"},
  };
  for (const MalformedCase& c : cases) {
    SCOPED_TRACE(c.text);
    Scenario scenario;
    scenario.name = "untouched";
    ParseError error;
    EXPECT_FALSE(tvr_sim::ParseScenario(c.text, "my.txt", &scenario, &error));
    EXPECT_EQ(error.file, "my.txt");
    EXPECT_EQ(error.line, c.line);
    EXPECT_EQ(error.message, c.message);
    EXPECT_EQ(scenario.name, "untouched") << "nothing of a malformed scenario is kept";
    EXPECT_TRUE(scenario.steps.empty());
  }
}

TEST(ScenarioParser, ErrorTextIsFileLineMessage) {
  EXPECT_EQ((ParseError{"a/b.txt", 7, "unknown step \"x\""}).ToString(), "a/b.txt:7: unknown step \"x\"");
  EXPECT_EQ((ParseError{"a/b.txt", 0, "the scenario has no steps"}).ToString(), "a/b.txt: the scenario has no steps");
}

TEST(ScenarioParser, SoundScenarioBecomesItsSteps) {
  const char* text =
      "# set-up\n"
      "devices 2\n"
      "os-state slate   # the system starts folded\n"
      "posture floating\n"
      "start\n"
      "\tposture 0x04\t\n"
      "fault status 7\n"
      "fault method\n"
      "fault clear\n"
      "fault lost\n"
      "fault late\n"
      "fault twice\n"
      "suspend\n"
      "resume\n"
      "resume-automatic\n"
      "power 10\n"
      "session console-connect\n"
      "session terminate\n"
      "session 0\n"
      "standby enter\n"
      "standby exit\n"
      "stop\n"
      "start\n";
  Scenario scenario;
  ParseError error;
  ASSERT_TRUE(tvr_sim::ParseScenario(text, "s.txt", &scenario, &error)) << error.ToString();
  EXPECT_EQ(scenario.name, "s.txt");
  EXPECT_EQ(scenario.devices, 2u);

  struct Expected {
    StepKind kind;
    unsigned value;
    int line;
  };
  const std::vector<Expected> expected = {
      {StepKind::kOsState, 0, 3},        {StepKind::kPosture, 32, 4},
      {StepKind::kStart, 0, 5},          {StepKind::kPosture, 4, 6},
      {StepKind::kFaultStatus, 7, 7},    {StepKind::kFaultMethod, 0, 8},
      {StepKind::kFaultClear, 0, 9},     {StepKind::kFaultLost, 0, 10},
      {StepKind::kFaultLate, 0, 11},     {StepKind::kFaultTwice, 0, 12},
      {StepKind::kPower, PBT_APMSUSPEND, 13},   {StepKind::kPower, PBT_APMRESUMESUSPEND, 14},
      {StepKind::kPower, PBT_APMRESUMEAUTOMATIC, 15}, {StepKind::kPower, 10, 16},
      {StepKind::kSession, WTS_CONSOLE_CONNECT, 17},  {StepKind::kSession, WTS_SESSION_TERMINATE, 18},
      {StepKind::kSession, 0, 19},       {StepKind::kStandbyEnter, 0, 20},
      {StepKind::kStandbyExit, 0, 21},   {StepKind::kStop, 0, 22},
      {StepKind::kStart, 0, 23},
  };
  ASSERT_EQ(scenario.steps.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(scenario.steps[i].kind, expected[i].kind);
    EXPECT_EQ(scenario.steps[i].value, expected[i].value);
    EXPECT_EQ(scenario.steps[i].line, expected[i].line);
  }
  EXPECT_EQ(scenario.steps[1].text, "posture floating");
  EXPECT_EQ(scenario.steps[3].text, "posture 0x04") << "outer blanks and comments are not part of a step";
}

TEST(ScenarioParser, BuiltInScenarioParses) {
  Scenario scenario;
  ParseError error;
  ASSERT_TRUE(tvr_sim::ParseScenario(tvr_sim::kBuiltInScenario, "built-in", &scenario, &error))
      << error.ToString();
  EXPECT_EQ(scenario.steps.front().kind, StepKind::kStart);
  EXPECT_EQ(scenario.steps.back().kind, StepKind::kStop);
}

TEST(ScenarioParser, UnreadableFileIsAnError) {
  Scenario scenario;
  ParseError error;
  EXPECT_FALSE(tvr_sim::LoadScenario("no-such-dir\\missing.txt", &scenario, &error));
  EXPECT_EQ(error.ToString(), "no-such-dir\\missing.txt: cannot read the scenario file");
}

// The scenarios shipped for firmware engineers must stay in step with the
// language.
TEST(ScenarioParser, ShippedScenariosParse) {
  std::string folder = TVR_SCENARIO_DIR;
  if (!folder.empty() && folder[0] == '/') folder = "Z:" + folder;  // a Unix path, seen through Wine
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((folder + "/*.txt").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no scenarios in " << folder;
  int files = 0;
  do {
    ++files;
    Scenario scenario;
    ParseError error;
    EXPECT_TRUE(tvr_sim::LoadScenario(folder + "/" + found.cFileName, &scenario, &error)) << error.ToString();
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  EXPECT_GE(files, 2);
}

}  // namespace
