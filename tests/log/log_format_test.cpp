// The bytes of one line: level texts, the timestamp and the composed line.
#include "log/log_format.h"

#include <gtest/gtest.h>

#include <string>

#include "common/log_fixture.h"

namespace {

std::tm LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(LogFormat, LevelTextsAreElevenCharactersOrEmpty) {
  const struct {
    int level;
    const wchar_t* text;
  } cases[] = {
      {0, L"[INFO]     "}, {1, L"[WARNING]  "}, {2, L"[ERROR]    "}, {3, L"[EXCEPTION]"},
      {-1, L""},          {4, L""},            {0x7fffffff, L""},    {static_cast<int>(0x80000000u), L""},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.text, LogLevelText(c.level)) << "level " << c.level;
}

TEST(LogFormat, MillisecondsArePaddedWithBlanksNotZeros) {
  const struct {
    int ms;
    const wchar_t* expected;
  } cases[] = {
      {7, L"20261208_21:06:16.  7"},
      {42, L"20261208_21:06:16. 42"},
      {123, L"20261208_21:06:16.123"},
      {0, L"20261208_21:06:16.  0"},
      {999, L"20261208_21:06:16.999"},
  };
  for (const auto& c : cases) {
    wchar_t out[64];
    FormatLogTimestamp(LocalTime(2026, 12, 8, 21, 6, 16), c.ms, out);
    EXPECT_STREQ(c.expected, out) << "ms " << c.ms;
  }
}

TEST(LogFormat, DateAndTimeFieldsAreZeroPadded) {
  wchar_t out[64];
  FormatLogTimestamp(LocalTime(2027, 1, 2, 3, 4, 5), 600, out);
  EXPECT_STREQ(L"20270102_03:04:05.600", out);
}

TEST(LogFormat, LineLayoutIsExactForEveryLevel) {
  const std::wstring ts = L"20261208_21:06:16.  7";
  const std::string tail = "20261208_21:06:16.  7 | TVRSvc | ServiceWorkerThread | ServiceWorkerThread Enter\r\n";
  const struct {
    int level;
    std::string expected;
  } cases[] = {
      {0, "[INFO]      " + tail},  // six blanks between the bracket and the date
      {1, "[WARNING]   " + tail},
      {2, "[ERROR]     " + tail},
      {3, "[EXCEPTION] " + tail},
      {5, " " + tail},
      {-7, " " + tail},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected,
              ComposeLogLine(c.level, ts.c_str(), L"TVRSvc", L"ServiceWorkerThread", L"ServiceWorkerThread Enter"))
        << "level " << c.level;
  }
}

TEST(LogFormat, EachCharacterIsOneByteAndWideOnesBecomeQuestionMarks) {
  // U+00E9 fits one byte as itself; U+0100, U+20AC and a surrogate pair do not.
  const std::string line = ComposeLogLine(0, L"T", L"M", L"f\u00e9", L"a\u0100b\u20acc\U0001F600d");
  EXPECT_EQ(std::string("[INFO]      T | M | f\xe9 | a?b?c??d\r\n"), line);
}

TEST(LogFormat, MessageIsWrittenWholeWithoutLimitOrEscaping) {
  std::wstring message(5000, L'x');
  message += L" | 100% %d %ls \\n";
  const std::string line = ComposeLogLine(0, L"T", L"M", L"F", message.c_str());
  EXPECT_EQ("[INFO]      T | M | F | " + std::string(5000, 'x') + " | 100% %d %ls \\n\r\n", line);
}

TEST(LogFormat, NullTextsCountAsEmpty) {
  EXPECT_EQ("[ERROR]      |  |  | \r\n", ComposeLogLine(2, nullptr, nullptr, nullptr, nullptr));
}

TEST(LogFormat, CurrentTimestampHasTheLayoutAndTodaysDate) {
  SYSTEMTIME before;
  GetLocalTime(&before);
  wchar_t out[64];
  CurrentLogTimestamp(out);
  SYSTEMTIME after;
  GetLocalTime(&after);

  const std::string line = ComposeLogLine(0, out, L"TVRSvc", L"F", L"M");
  tvr_test::ParsedLogLine parsed;
  ASSERT_TRUE(tvr_test::ParseLogLine(line.substr(0, line.size() - 2), &parsed)) << line;
  char dayBefore[16], dayAfter[16];
  snprintf(dayBefore, sizeof dayBefore, "%04u%02u%02u", before.wYear, before.wMonth, before.wDay);
  snprintf(dayAfter, sizeof dayAfter, "%04u%02u%02u", after.wYear, after.wMonth, after.wDay);
  const std::string day = parsed.timestamp.substr(0, 8);
  EXPECT_TRUE(day == dayBefore || day == dayAfter) << parsed.timestamp;
  // Local hours, not UTC: the hour matches the local clock read around it.
  const int hour = std::stoi(parsed.timestamp.substr(9, 2));
  EXPECT_TRUE(hour == before.wHour || hour == after.wHour) << parsed.timestamp;
}

}  // namespace
