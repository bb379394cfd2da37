// Scenarios run end to end: the built-in day of a convertible, firmware
// faults, a late event, and what the timeline and its verdict say.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "simulator/runner.h"
#include "simulator/scenario.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using tvr_sim::RunResult;
using tvr_sim::TimelineRow;

tvr_sim::Scenario Parse(const std::string& text) {
  tvr_sim::Scenario scenario;
  tvr_sim::ParseError error;
  EXPECT_TRUE(tvr_sim::ParseScenario(text, "test", &scenario, &error)) << error.ToString();
  return scenario;
}

const TimelineRow& RowOfLine(const RunResult& result, int line) {
  for (const TimelineRow& row : result.rows) {
    if (row.line == line) return row;
  }
  ADD_FAILURE() << "no row for line " << line;
  return result.rows.front();
}

TEST(SimulatedTimeline, BuiltInScenarioKeepsTheStateInLine) {
  const RunResult result = tvr_sim::RunScenario(Parse(tvr_sim::kBuiltInScenario));
  ASSERT_EQ(result.rows.size(), 12u);
  EXPECT_TRUE(result.AllInLine()) << tvr_sim::Verdict(result);
  EXPECT_THAT(result.leaks, IsEmpty());
  // start, two events, resume, standby exit, console connect
  EXPECT_EQ(result.Judged(), 6);

  const TimelineRow& start = RowOfLine(result, 2);
  EXPECT_EQ(start.trigger, "start: mode check");
  EXPECT_EQ(start.queries, 1);
  EXPECT_THAT(start.log, Contains("ServiceWorkerThread | ServiceWorkerThread Enter"));
  EXPECT_THAT(start.log, Contains("CheckModeWithWMI | UsageModeEvent == kLaptop || UsageModeEvent == kFloating"));

  const TimelineRow& fold = RowOfLine(result, 3);
  EXPECT_EQ(fold.trigger, "firmware event");
  EXPECT_EQ(fold.slateBefore, 1);
  EXPECT_EQ(fold.slateAfter, 0);
  EXPECT_EQ(fold.toggles, 1);
  EXPECT_EQ(fold.queries, 0);
  EXPECT_THAT(fold.log, ElementsAre("EventSink::Indicate | UsageModeEvent == other"));

  const TimelineRow& foldedAsleep = RowOfLine(result, 6);
  EXPECT_EQ(foldedAsleep.trigger, "none (no event)");
  EXPECT_FALSE(foldedAsleep.judged);
  EXPECT_EQ(foldedAsleep.slateAfter, 1) << "nothing reacts while the system sleeps";

  const TimelineRow& resume = RowOfLine(result, 7);
  EXPECT_EQ(resume.trigger, "resume from suspend: mode check");
  EXPECT_EQ(resume.slateBefore, 1);
  EXPECT_EQ(resume.slateAfter, 0);
  EXPECT_THAT(resume.log, ElementsAre("OnPowerEvent | OnPowerEvent Enter", "OnPowerEvent | event_type 7 event_data 0",
                                      "OnPowerEvent | PBT_APMRESUMESUSPEND",
                                      "CheckModeWithWMI | UsageModeEvent == other mode",
                                      "OnPowerEvent | OnPowerEvent End"));

  const TimelineRow& standbyEnter = RowOfLine(result, 8);
  EXPECT_THAT(standbyEnter.log, ElementsAre("EventRecordCallback | 506"));
  EXPECT_EQ(standbyEnter.queries, 0);

  const TimelineRow& standbyExit = RowOfLine(result, 10);
  EXPECT_EQ(standbyExit.slateBefore, 0);
  EXPECT_EQ(standbyExit.slateAfter, 1);
  EXPECT_THAT(standbyExit.log,
              ElementsAre("EventRecordCallback | 507",
                          "CheckModeWithWMI | UsageModeEvent == kLaptop || UsageModeEvent == kFloating"));

  const TimelineRow& stop = RowOfLine(result, 13);
  EXPECT_EQ(stop.happened, "service stopped");
  EXPECT_THAT(stop.log, Contains("ServiceWorkerThread | ServiceWorkerThread End"));

  std::ostringstream printed;
  tvr_sim::PrintTimeline(result, printed);
  EXPECT_THAT(printed.str(), HasSubstr("posture tablet"));
  EXPECT_THAT(printed.str(), HasSubstr("log: EventRecordCallback | 507"));
  EXPECT_THAT(printed.str(),
              HasSubstr("VERDICT: IN LINE - the slate state agreed with the posture after all 6 triggers the service "
                        "acts on\n"));
}

TEST(SimulatedTimeline, FaultyFirmwareIsNotJudgedAndCaughtUpLater) {
  const RunResult result = tvr_sim::RunScenario(Parse(
      "start\n"                    // 1
      "fault status 1\n"           // 2
      "os-state slate\n"           // 3 a disagreement: laptop posture, slate state
      "session console-connect\n"  // 4 left alone, not judged
      "fault clear\n"              // 5
      "fault lost\n"               // 6
      "posture tablet\n"           // 7 lost: the state happens to agree now
      "posture laptop\n"           // 8 delivered: flips to laptop
      "fault twice\n"              // 9
      "posture tablet\n"           // 10 twice at once: one toggle
      "stop\n"),
      /*logging=*/false);
  EXPECT_TRUE(result.AllInLine()) << tvr_sim::Verdict(result);
  const TimelineRow& faulty = RowOfLine(result, 4);
  EXPECT_FALSE(faulty.judged);
  EXPECT_EQ(faulty.queries, 1);
  EXPECT_EQ(faulty.toggles, 0);
  EXPECT_EQ(faulty.trigger, "console connect: mode check");
  EXPECT_THAT(faulty.happened, HasSubstr("the firmware answers with a fault"));
  EXPECT_EQ(RowOfLine(result, 7).trigger, "none (event lost)");
  EXPECT_EQ(RowOfLine(result, 8).toggles, 1);
  EXPECT_EQ(RowOfLine(result, 10).trigger, "firmware event x2");
  EXPECT_EQ(RowOfLine(result, 10).events, 2);
  EXPECT_EQ(RowOfLine(result, 10).toggles, 1);
}

// A late event carries a posture that is no longer true: the verdict shows
// the row where the state went out of line, and the next check repairs it.
TEST(SimulatedTimeline, LateEventIsJudgedWhereItArrives) {
  const RunResult result = tvr_sim::RunScenario(Parse(
      "start\n"
      "fault late\n"
      "posture tablet\n"           // 3 held back
      "posture laptop\n"           // 4 its own event, then the late tablet one
      "session console-connect\n"  // 5
      "fault late\n"
      "posture tablet\n"),         // 7 held back to the end of the scenario
      /*logging=*/false);
  EXPECT_FALSE(RowOfLine(result, 3).judged);
  const TimelineRow& arrival = RowOfLine(result, 4);
  EXPECT_EQ(arrival.trigger, "firmware event + late firmware event");
  EXPECT_EQ(arrival.events, 2);
  EXPECT_EQ(arrival.slateAfter, 0);
  EXPECT_FALSE(arrival.inLine);
  EXPECT_TRUE(RowOfLine(result, 5).inLine);
  // The end: the held-back event arrives, then the runner stops the service.
  ASSERT_EQ(result.rows.size(), 9u);
  EXPECT_EQ(result.rows[7].trigger, "late firmware event");
  EXPECT_EQ(result.rows[8].happened, "service stopped");
  EXPECT_EQ(result.OutOfLine(), std::vector<int>{4});
  EXPECT_EQ(tvr_sim::Verdict(result),
            "VERDICT: OUT OF LINE - the slate state disagreed with the posture after 1 of 4 triggers the service "
            "acts on (rows 4)");
}

}  // namespace
