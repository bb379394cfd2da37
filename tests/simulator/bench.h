#pragma once
// Decision latency, in-process with the simulated convertible, logging off.

#include <ostream>

namespace tvr_sim {

// Firmware event to indicator write, and a full mode check: median and 99th
// percentile over `runs` runs each. Prints the figures; asserts nothing.
void RunDecisionBenchmarks(std::ostream& out, int runs = 10000);

}  // namespace tvr_sim
