// Writing lines to the real file.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/log_fixture.h"
#include "log/log_file.h"

namespace {

using tvr_test::ParsedLogLine;
using tvr_test::ScopedLogging;

TEST(LogWrite, OneLineIsExactlyTheLayoutInBytes) {
  ScopedLogging logging(ScopedLogging::Publish::kNo);
  ASSERT_NE(nullptr, logging.log());
  EXPECT_TRUE(logging.log()->Write(kLogInfo, L"ServiceWorkerThread", L"ServiceWorkerThread Enter"));

  const std::string bytes = logging.Contents();
  ParsedLogLine parsed;
  ASSERT_GE(bytes.size(), 2u);
  ASSERT_TRUE(tvr_test::ParseLogLine(bytes.substr(0, bytes.size() - 2), &parsed)) << bytes;
  EXPECT_EQ("[INFO]      " + parsed.timestamp + " | TVRSvc | ServiceWorkerThread | ServiceWorkerThread Enter\r\n",
            bytes);
}

TEST(LogWrite, LinesAreAppendedAfterWhatTheFileHeld) {
  ScopedLogging logging(ScopedLogging::Publish::kNo);
  ASSERT_NE(nullptr, logging.log());
  // An earlier run's line and a line torn by a crash stay as they are.
  HANDLE file = CreateFileW(logging.path(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  const char earlier[] = "earlier line\r\ntorn";
  DWORD written = 0;
  WriteFile(file, earlier, sizeof(earlier) - 1, &written, nullptr);
  CloseHandle(file);

  EXPECT_TRUE(logging.log()->Write(kLogError, L"RegisterPowerETW", L"first"));
  EXPECT_TRUE(logging.log()->Write(kLogException, L"F", L"second"));
  EXPECT_TRUE(logging.log()->Write(9, L"F", L"third"));

  const std::vector<std::string> lines = logging.Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("earlier line", lines[0]);
  EXPECT_EQ(0u, lines[1].rfind("torn[ERROR]     ", 0)) << lines[1];
  EXPECT_EQ(0u, lines[2].rfind("[EXCEPTION] ", 0)) << lines[2];
  ParsedLogLine third;
  ASSERT_TRUE(tvr_test::ParseLogLine(lines[3], &third)) << lines[3];
  EXPECT_EQ("", third.levelText);
  EXPECT_EQ(' ', lines[3][0]);
  EXPECT_EQ("third", third.message);
}

TEST(LogWrite, ReadOnlyFileIsLeftAloneAndWriteSaysFalse) {
  ScopedLogging logging(ScopedLogging::Publish::kNo);
  ASSERT_NE(nullptr, logging.log());
  ASSERT_TRUE(logging.log()->Write(kLogInfo, L"F", L"before"));
  const std::string before = logging.Contents();
  ASSERT_TRUE(SetFileAttributesW(logging.path(), FILE_ATTRIBUTE_READONLY));

  EXPECT_FALSE(logging.log()->Write(kLogInfo, L"F", L"lost"));
  EXPECT_EQ(before, logging.Contents());

  SetFileAttributesW(logging.path(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(logging.log()->Write(kLogInfo, L"F", L"after"));
  EXPECT_EQ(2u, logging.Lines().size());
}

TEST(LogWrite, MissingFolderLosesTheLineQuietly) {
  tvr_test::ScopedTempFolder folder;
  const std::wstring path = folder.path() + L"\\gone\\x_TVRSvc.log";
  CLogFile log(path.c_str(), kModuleName);
  EXPECT_FALSE(log.Write(kLogInfo, L"F", L"M"));
  EXPECT_FALSE(tvr_test::PathExists(folder.path() + L"\\gone"));
  CLogFile noPath(nullptr, kModuleName);
  EXPECT_FALSE(noPath.Write(kLogInfo, L"F", L"M"));
}

TEST(LogWrite, ConcurrentWritersProduceOnlyWholeLines) {
  ScopedLogging logging(ScopedLogging::Publish::kNo);
  ASSERT_NE(nullptr, logging.log());
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 150;
  // Messages of different lengths, long enough that a torn write would show.
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {  // one writer thread per t
      for (int i = 0; i < kLinesEach; ++i) {
        const std::wstring message = L"t" + std::to_wstring(t) + L" i" + std::to_wstring(i) + L" " +
                                     std::wstring(50 + 37 * t, static_cast<wchar_t>(L'a' + t));
        if (!logging.log()->Write(kLogInfo, L"Writer", message.c_str())) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());

  const std::string bytes = logging.Contents();
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ("\r\n", bytes.substr(bytes.size() - 2));
  std::set<std::string> seen;
  for (const std::string& line : tvr_test::SplitCrLf(bytes)) {
    ParsedLogLine parsed;
    ASSERT_TRUE(tvr_test::ParseLogLine(line, &parsed)) << line;
    const int t = parsed.message[1] - '0';
    const std::string expectedTail = std::string(50 + 37 * t, static_cast<char>('a' + t));
    EXPECT_EQ(expectedTail, parsed.message.substr(parsed.message.size() - expectedTail.size())) << line;
    EXPECT_TRUE(seen.insert(parsed.message.substr(0, parsed.message.find(' ', 4))).second) << line;
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLinesEach), seen.size());
}

}  // namespace
