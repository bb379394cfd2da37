// The process-wide log pointer and its guard against late writers.
#include "log/log_pointer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/log_fixture.h"

namespace {

TEST(LogPointer, NothingIsWrittenWithoutAPublishedLog) {
  ASSERT_EQ(nullptr, g_log);
  EXPECT_FALSE(LogLine(kLogInfo, L"F", L"M"));
  EXPECT_FALSE(LogLine(nullptr, kLogInfo, L"F", L"M"));

  tvr_test::ScopedLogging logging(tvr_test::ScopedLogging::Publish::kNo);
  ASSERT_NE(nullptr, logging.log());
  // A log object that is not the published one is treated as retired.
  EXPECT_FALSE(LogLine(logging.log(), kLogInfo, L"F", L"M"));
  EXPECT_FALSE(tvr_test::PathExists(logging.path()));
}

TEST(LogPointer, PublishedLogTakesLinesThroughEitherEntry) {
  {
    tvr_test::ScopedLogging logging;
    ASSERT_NE(nullptr, logging.log());
    EXPECT_EQ(logging.log(), g_log);
    EXPECT_TRUE(LogLine(kLogInfo, L"CheckModeWithWMI", L"one"));
    EXPECT_TRUE(LogLine(logging.log(), kLogError, L"RegisterPowerETW", L"two"));
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), logging.Messages());
  }
  EXPECT_EQ(nullptr, g_log);
}

TEST(LogPointer, RetireWaitsForLinesInFlightAndStopsAllLaterOnes) {
  tvr_test::ScopedProgramData programData;
  tvr_test::ScopedLogSwitch on;
  static wchar_t pathBuffer[kLogPathCapacity];
  wmemset(pathBuffer, 0, kLogPathCapacity);
  CLogFile* log = CreateLog(pathBuffer);
  ASSERT_NE(nullptr, log);
  const std::wstring path = pathBuffer;
  PublishLog(log);

  std::atomic<bool> retired{false};
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::atomic<int> writtenAfterRetire{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([&, t] {  // late writers: half hold a copy of the pointer, half go through g_log
      while (!stop.load()) {
        const bool wasRetired = retired.load();
        const bool ok = (t % 2 == 0) ? LogLine(log, kLogInfo, L"Late", L"line") : LogLine(kLogInfo, L"Late", L"line");
        if (ok) {
          ++written;
          if (wasRetired) ++writtenAfterRetire;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  RetireLog(log);
  retired.store(true);
  // The object is gone; a writer that still used it would now write to this
  // other file through the path buffer it pointed at.
  const std::wstring sizeAtRetire = std::to_wstring(tvr_test::ReadFileBytes(path).size());
  const std::wstring late = path + L".late";
  wcscpy(pathBuffer, late.c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop.store(true);
  for (std::thread& writer : writers) writer.join();

  EXPECT_EQ(nullptr, g_log);
  EXPECT_EQ(0, writtenAfterRetire.load());
  EXPECT_FALSE(tvr_test::PathExists(late));
  const std::string bytes = tvr_test::ReadFileBytes(path);
  EXPECT_EQ(sizeAtRetire, std::to_wstring(bytes.size()));
  const std::vector<std::string> lines = tvr_test::SplitCrLf(bytes);
  EXPECT_GT(lines.size(), 0u);
  EXPECT_EQ(static_cast<size_t>(written.load()), lines.size());
  for (const std::string& line : lines) EXPECT_TRUE(tvr_test::ParseLogLine(line, nullptr)) << line;
}

}  // namespace
