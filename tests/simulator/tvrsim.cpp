// tvrsim: runs the real service against the simulated convertible and prints
// the timeline of a scenario (the built-in one, or a file), or measures the
// decision latency (--bench).
//
// Exit codes: 0 the slate state stayed in line and everything was given back;
// 1 it did not, or something was not given back; 2 usage or scenario errors
// (nothing ran); 3 the service hung and the run was abandoned.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "simulator/bench.h"
#include "simulator/runner.h"
#include "simulator/scenario.h"

namespace {

// The fakes report their own findings (handles never given back, say) as
// test failures. This program runs no tests: it prints such a finding
// itself and fails the run.
class FindingPrinter : public ::testing::EmptyTestEventListener {
 public:
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::fprintf(stderr, "simulated convertible: %s:%d: %s\n", result.file_name() ? result.file_name() : "?",
                 result.line_number(), result.summary());
    std::fflush(stderr);
    ++findings;
  }
  static inline int findings = 0;
};

void InstallFindingPrinter() {
  ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
  delete listeners.Release(listeners.default_result_printer());
  listeners.Append(new FindingPrinter);
}

int Usage() {
  std::fprintf(stderr,
               "usage: tvrsim [SCENARIO.txt]   run a scenario (the built-in one without a file)\n"
               "       tvrsim --bench          decision latency, logging off\n"
               "       tvrsim --print-builtin  print the built-in scenario\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  InstallFindingPrinter();
  if (argc > 2) return Usage();
  const std::string argument = argc == 2 ? argv[1] : "";
  if (argument == "--help" || argument == "-h") return Usage();
  if (argument == "--print-builtin") {
    std::cout << tvr_sim::kBuiltInScenario;
    return 0;
  }
  if (argument == "--bench") {
    tvr_sim::RunDecisionBenchmarks(std::cout);
    std::cout.flush();
    return FindingPrinter::findings == 0 ? 0 : 1;
  }
  if (!argument.empty() && argument[0] == '-') return Usage();

  tvr_sim::Scenario scenario;
  tvr_sim::ParseError error;
  const bool parsed = argument.empty()
                          ? tvr_sim::ParseScenario(tvr_sim::kBuiltInScenario, "built-in", &scenario, &error)
                          : tvr_sim::LoadScenario(argument, &scenario, &error);
  if (!parsed) {
    std::fprintf(stderr, "%s\nnothing was run.\n", error.ToString().c_str());
    return 2;
  }

  const tvr_sim::RunResult result = tvr_sim::RunScenario(scenario);
  tvr_sim::PrintTimeline(result, std::cout);
  std::cout.flush();
  const bool sound = result.AllInLine() && result.leaks.empty() && FindingPrinter::findings == 0;
  return sound ? 0 : 1;
}
