// The service's main job on the simulated convertible: every trigger it acts
// on brings a disagreeing slate state in line, the triggers it only logs
// change nothing, and a firmware that answers badly is left alone.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/log_fixture.h"
#include "mode/mode_check.h"
#include "simulator/machine.h"

namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;
using tvr_sim::MachineOptions;
using tvr_sim::SimulatedMachine;

constexpr unsigned kTablet = 2;

// The posture that wants the other slate state than `metric` holds.
unsigned DisagreeingPosture(int metric) { return metric != 0 ? kTablet : kLaptop; }

std::vector<std::string> FunctionsOf(const std::vector<std::string>& lines) {
  std::vector<std::string> functions;
  for (const std::string& line : lines) {
    tvr_test::ParsedLogLine parsed;
    if (tvr_test::ParseLogLine(line, &parsed)) functions.push_back(parsed.function);
  }
  return functions;
}

struct Trigger {
  const char* name;
  std::function<void(SimulatedMachine&)> fire;
};

// Triggers that take the posture from the firmware afresh.
std::vector<Trigger> CheckTriggers() {
  return {
      {"resume from suspend", [](SimulatedMachine& m) { m.Power(PBT_APMRESUMESUSPEND); }},
      {"console connect", [](SimulatedMachine& m) { m.Session(WTS_CONSOLE_CONNECT); }},
      {"standby exit", [](SimulatedMachine& m) { m.Standby(false); }},
  };
}

TEST(SimulatedTriggers, StartBringsDisagreeingStateInLine) {
  for (int metric : {0, 1}) {
    SCOPED_TRACE("slate state " + std::to_string(metric));
    SimulatedMachine machine(MachineOptions{1, false, metric, DisagreeingPosture(metric)});
    ASSERT_FALSE(machine.InLine());
    machine.Start();
    EXPECT_TRUE(machine.InLine());
    EXPECT_EQ(machine.Toggles(), 1);
    EXPECT_EQ(machine.Checks(), 1);
    machine.Stop();
    EXPECT_THAT(machine.Leaks(), IsEmpty());
  }
}

TEST(SimulatedTriggers, FirmwareEventBringsDisagreeingStateInLine) {
  SimulatedMachine machine(MachineOptions{1, false});
  machine.Start();
  const long checks = machine.Checks();
  for (unsigned code : {kTablet, kLaptop, 4u, kFloating, 0u, kLaptop}) {
    SCOPED_TRACE("posture " + std::to_string(code));
    const int toggles = machine.Toggles();
    const bool disagreed = (machine.Slate() != 0) != WantsLaptop(code);
    machine.SetPosture(code);
    EXPECT_EQ(machine.RaiseEvent(code), 1);
    EXPECT_TRUE(machine.InLine());
    EXPECT_EQ(machine.Toggles() - toggles, disagreed ? 1 : 0);
  }
  EXPECT_EQ(machine.Checks(), checks) << "an event decides on its own posture without asking the firmware";
}

TEST(SimulatedTriggers, CheckTriggersBringDisagreeingStateInLine) {
  SimulatedMachine machine(MachineOptions{1, false});
  machine.Start();
  for (const Trigger& trigger : CheckTriggers()) {
    for (int round = 0; round < 2; ++round) {  // both ways: to slate, then back to laptop
      SCOPED_TRACE(std::string(trigger.name) + " round " + std::to_string(round));
      machine.SetPosture(DisagreeingPosture(machine.Slate()));  // changed without an event
      ASSERT_FALSE(machine.InLine());
      const long checks = machine.Checks();
      const int toggles = machine.Toggles();
      trigger.fire(machine);
      EXPECT_TRUE(machine.InLine());
      EXPECT_EQ(machine.Checks() - checks, 1);
      EXPECT_EQ(machine.Toggles() - toggles, 1);
    }
  }
  machine.Stop();
  EXPECT_THAT(machine.Leaks(), IsEmpty());
}

TEST(SimulatedTriggers, LoggedOnlyTriggersChangeNothing) {
  std::vector<Trigger> logged = {
      {"suspend", [](SimulatedMachine& m) { m.Power(PBT_APMSUSPEND); }},
      {"automatic resume", [](SimulatedMachine& m) { m.Power(PBT_APMRESUMEAUTOMATIC); }},
      {"power status change", [](SimulatedMachine& m) { m.Power(PBT_APMPOWERSTATUSCHANGE); }},
      {"standby enter", [](SimulatedMachine& m) { m.Standby(true); }},
  };
  for (DWORD type = WTS_CONSOLE_DISCONNECT; type <= WTS_SESSION_TERMINATE; ++type) {
    logged.push_back({"session event", [type](SimulatedMachine& m) { m.Session(type); }});
  }
  SimulatedMachine machine(MachineOptions{1, true});
  machine.Start();
  machine.SetPosture(kTablet);  // a disagreement that none of these may touch
  for (const Trigger& trigger : logged) {
    SCOPED_TRACE(trigger.name);
    const long checks = machine.Checks();
    const int toggles = machine.Toggles();
    const size_t lines = machine.LogLines().size();
    trigger.fire(machine);
    EXPECT_EQ(machine.Checks(), checks);
    EXPECT_EQ(machine.Toggles(), toggles);
    EXPECT_NE(machine.Slate(), 0);
    const std::vector<std::string> all = machine.LogLines();
    EXPECT_GT(all.size(), lines) << "the trigger is logged";
    EXPECT_THAT(FunctionsOf({all.begin() + static_cast<long>(lines), all.end()}), Not(Contains("CheckModeWithWMI")));
  }
  machine.Stop();
}

// A firmware that answers with a bad status byte or fails the call: every
// check trigger leaves the disagreeing state alone and writes no line for
// that check; once the firmware is sound again the next trigger catches up.
TEST(SimulatedTriggers, FirmwareFaultsLeaveStateAloneWithoutACheckLine) {
  struct Fault {
    const char* name;
    std::function<void(SimulatedMachine&, bool)> set;
  };
  const std::vector<Fault> faults = {
      {"status 1", [](SimulatedMachine& m, bool on) { m.SetStatusFault(on ? 1 : 0); }},
      {"status 0x80", [](SimulatedMachine& m, bool on) { m.SetStatusFault(on ? 0x80 : 0); }},
      {"method fails", [](SimulatedMachine& m, bool on) { m.SetMethodFault(on); }},
  };
  SimulatedMachine machine(MachineOptions{1, true});
  machine.Start();
  for (const Fault& fault : faults) {
    for (const Trigger& trigger : CheckTriggers()) {
      SCOPED_TRACE(std::string(fault.name) + ", " + trigger.name);
      machine.SetPosture(DisagreeingPosture(machine.Slate()));
      fault.set(machine, true);
      const int metric = machine.Slate();
      const long checks = machine.Checks();
      const size_t lines = machine.LogLines().size();
      trigger.fire(machine);
      EXPECT_EQ(machine.Checks() - checks, 1) << "the firmware was asked";
      EXPECT_EQ(machine.Slate(), metric);
      std::vector<std::string> all = machine.LogLines();
      EXPECT_THAT(FunctionsOf({all.begin() + static_cast<long>(lines), all.end()}),
                  Not(Contains("CheckModeWithWMI")));

      fault.set(machine, false);
      trigger.fire(machine);
      EXPECT_TRUE(machine.InLine()) << "the next trigger catches up";
      all = machine.LogLines();
      EXPECT_THAT(FunctionsOf({all.begin() + static_cast<long>(lines), all.end()}), Contains("CheckModeWithWMI"));
    }
  }
  machine.Stop();
  EXPECT_THAT(machine.Leaks(), IsEmpty());
}

// Events that never arrive are caught up by whichever trigger comes next:
// another firmware event or a check.
TEST(SimulatedTriggers, LostEventsAreCaughtUpByTheNextTrigger) {
  SimulatedMachine machine(MachineOptions{1, false});
  machine.Start();
  std::vector<Trigger> next = CheckTriggers();
  next.push_back({"the next firmware event", [](SimulatedMachine& m) { m.RaiseEvent(m.Posture()); }});
  for (const Trigger& trigger : next) {
    SCOPED_TRACE(trigger.name);
    machine.SetPosture(DisagreeingPosture(machine.Slate()));  // this event is lost
    machine.SetPosture(machine.Posture() == kTablet ? 4 : kFloating);  // and so is this one
    ASSERT_FALSE(machine.InLine());
    trigger.fire(machine);
    EXPECT_TRUE(machine.InLine());
  }
  machine.Stop();
}

// A duplicated event arriving on two threads at once toggles once.
TEST(SimulatedTriggers, EventDeliveredTwiceAtOnceTogglesOnce) {
  SimulatedMachine machine(MachineOptions{1, false});
  machine.Start();
  for (unsigned code : {kTablet, kLaptop, kTablet, kFloating}) {
    const int toggles = machine.Toggles();
    machine.SetPosture(code);
    EXPECT_EQ(machine.RaiseEvent(code, 2), 2);
    EXPECT_EQ(machine.Toggles() - toggles, 1);
    EXPECT_TRUE(machine.InLine());
  }
  EXPECT_EQ(machine.DoubleToggles(), 0);
  machine.Stop();
}

// With no service running nothing is subscribed and no consumer listens.
// The trace session stays after a stop: the next start attaches to it instead
// of making it, enables nothing again, and leaving standby still acts.
TEST(SimulatedTriggers, RestartAttachesToTheLastingTraceSessionAndStandbyExitStillActs) {
  SimulatedMachine machine;
  machine.Start();
  machine.Stop();
  machine.Start();
  machine.Standby(true);
  machine.SetPosture(kTablet);
  machine.Standby(false);
  EXPECT_EQ(machine.Slate(), 0);
  EXPECT_TRUE(machine.InLine());
  machine.Stop();
  EXPECT_THAT(machine.Leaks(), IsEmpty());

  std::vector<std::string> monitorLines;
  for (const std::string& line : machine.LogLines()) {
    tvr_test::ParsedLogLine parsed;
    if (tvr_test::ParseLogLine(line, &parsed) && parsed.function == "RegisterPowerETW") {
      monitorLines.push_back(parsed.message);
    }
  }
  EXPECT_EQ(monitorLines, (std::vector<std::string>{"ERROR_SUCCESS", "CreateThread", "ERROR_ALREADY_EXISTS",
                                                    "CreateThread"}));
  EXPECT_EQ(machine.etw().enables.size(), 1u) << "the provider is enabled by the start that made the session only";
}

TEST(SimulatedTriggers, StoppedServiceHearsNothing) {
  SimulatedMachine machine(MachineOptions{1, false});
  machine.Start();
  machine.Stop();
  machine.SetPosture(kTablet);
  EXPECT_EQ(machine.RaiseEvent(kTablet), 0);
  machine.Standby(false);
  EXPECT_EQ(machine.Toggles(), 0);
  EXPECT_EQ(machine.etw().LiveEventsDropped(), 0) << "nothing was queued for a consumer that is gone";
  EXPECT_THAT(machine.Leaks(), IsEmpty());
}

// Two indicator devices: each write flips the state, so one toggle writes
// both and the state flips twice. The simulator shows what the service does
// on such a machine rather than hiding it.
TEST(SimulatedTriggers, TwoDevicesEachGetOneByte) {
  SimulatedMachine machine(MachineOptions{2, false, 1, kTablet});
  machine.Start();
  EXPECT_EQ(machine.slate().BytesWritten(0), std::vector<BYTE>{0x00});
  EXPECT_EQ(machine.slate().BytesWritten(1), std::vector<BYTE>{0x00});
  EXPECT_EQ(machine.Toggles(), 2);
  EXPECT_EQ(machine.DisagreementsActedOn(), 1) << "one decision, however many devices";
  machine.Stop();
}

}  // namespace
