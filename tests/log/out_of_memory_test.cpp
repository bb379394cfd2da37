// Under memory pressure the log loses lines or stays off; it never ends the
// process. Every allocation on the way (the path checks before a line, the
// line itself, the folder checks at start-up) is made to fail in turn.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/failing_new.h"
#include "common/log_fixture.h"
#include "common/registry_fixture.h"
#include "log/log_file.h"

namespace {

// More than any one call of the log makes; reaching it means the code under
// test allocates without end.
constexpr long kMaxAllocationPoints = 400;

TEST(LogOutOfMemory, WriteLosesTheLineQuietlyWhereverAnAllocationFails) {
  tvr_test::ScopedLogging logging(tvr_test::ScopedLogging::Publish::kNo);
  ASSERT_NE(logging.log(), nullptr);

  long refusedRuns = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, kMaxAllocationPoints);
    bool refused = false;
    {
      tvr_test::FailingAllocations failing(n);
      (void)logging.log()->Write(kLogInfo, L"Pressure", L"line under pressure");
      refused = failing.Failed();
    }
    if (!refused) break;
    ++refusedRuns;
  }
  EXPECT_GT(refusedRuns, 0) << "Write allocated nothing: the test proved nothing";

  // Whatever got through is whole lines; the last run, with nothing refused,
  // wrote its line.
  const std::vector<std::string> lines = logging.Lines();
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    tvr_test::ParsedLogLine parsed;
    ASSERT_TRUE(tvr_test::ParseLogLine(line, &parsed)) << line;
    EXPECT_EQ(parsed.message, "line under pressure");
  }
}

TEST(LogOutOfMemory, StartUpRunsWithoutALogWhereverAnAllocationFails) {
  tvr_test::ScopedProgramData programData;
  tvr_test::ScopedLogSwitch on;
  ASSERT_TRUE(on.ok());

  long refusedRuns = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, kMaxAllocationPoints);
    wchar_t buffer[kLogPathCapacity] = {};
    CLogFile* log = nullptr;
    bool refused = false;
    {
      tvr_test::FailingAllocations failing(n);
      log = CreateLog(buffer);
      refused = failing.Failed();
    }
    const bool made = log != nullptr;
    delete log;
    if (!refused) {
      EXPECT_TRUE(made) << "with every allocation granted the log must be made";
      break;
    }
    ++refusedRuns;
  }
  EXPECT_GT(refusedRuns, 0) << "CreateLog allocated nothing: the test proved nothing";
}

}  // namespace
