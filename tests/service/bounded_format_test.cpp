#include "common/bounded_format.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

TEST(BoundedFormat, FormatsWideAndNarrowArgumentsAsAsked) {
  wchar_t buffer[260];
  tvr::FormatBounded(buffer, L"%ls failed w/err 0x%08lx", L"Service Stop", 5UL);
  EXPECT_STREQ(L"Service Stop failed w/err 0x00000005", buffer);
}

TEST(BoundedFormat, CutsAtCapacityAndAlwaysTerminates) {
  const std::wstring longName(300, L'x');
  wchar_t buffer[260];
  wmemset(buffer, L'#', 260);
  wchar_t guard[4] = {L'G', L'G', L'G', L'\0'};
  const size_t n = tvr::FormatBounded(buffer, L"%ls failed w/err 0x%08lx", longName.c_str(), 1UL);
  EXPECT_EQ(259u, n);
  EXPECT_EQ(259u, wcslen(buffer));
  EXPECT_EQ(std::wstring(259, L'x'), std::wstring(buffer));
  EXPECT_STREQ(L"GGG", guard);
}

TEST(BoundedFormat, ExactFitIsKeptWhole) {
  wchar_t buffer[5];
  EXPECT_EQ(4u, tvr::FormatBounded(buffer, L"%ls", L"abcd"));
  EXPECT_STREQ(L"abcd", buffer);
  EXPECT_EQ(4u, tvr::FormatBounded(buffer, L"%ls", L"abcde"));
  EXPECT_STREQ(L"abcd", buffer);
}

TEST(BoundedFormat, PadsMillisecondsWithBlanks) {
  wchar_t buffer[64];
  for (auto [ms, want] : {std::pair{7, L"t.  7"}, {42, L"t. 42"}, {123, L"t.123"}}) {
    tvr::FormatBounded(buffer, L"%ls.%3d", L"t", ms);
    EXPECT_STREQ(want, buffer);
  }
}

}  // namespace
