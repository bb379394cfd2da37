#include "common/bounded_format.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

namespace {

TEST(BoundedFormat, FormatsWideAndNarrowArgumentsAsAsked) {
  wchar_t buffer[260];
  tvr::FormatBounded(buffer, L"%ls failed w/err 0x%08lx", L"Service Stop", 5UL);
  EXPECT_STREQ(L"Service Stop failed w/err 0x00000005", buffer);
}

// A formatter under test: buffer, capacity, format and its arguments.
using Formatter = size_t (*)(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

size_t CallFormatter(Formatter formatter, wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t written = formatter(buffer, capacity, format, args);
  va_end(args);
  return written;
}

// What a bounded formatter must do with texts shorter than, exactly as long
// as, and longer than its buffer: the buffer holds the text or its first
// capacity - 1 characters, is terminated, and nothing past it is written.
// Returns a description of every breach; empty means sound.
std::vector<std::string> BoundsBreaches(Formatter formatter) {
  constexpr size_t kGuard = 16;
  constexpr wchar_t kFill = L'#';
  std::vector<std::string> breaches;
  for (size_t capacity : {size_t{1}, size_t{2}, size_t{5}, size_t{64}, size_t{260}}) {
    for (size_t length : {size_t{0}, capacity - 1, capacity, capacity + 1, capacity + 300}) {
      const std::wstring text(length, L'x');
      std::vector<wchar_t> storage(capacity + kGuard, kFill);
      const size_t written = CallFormatter(formatter, storage.data(), capacity, L"%ls", text.c_str());
      const std::string where = "capacity " + std::to_string(capacity) + ", text " + std::to_string(length);
      const size_t kept = length < capacity ? length : capacity - 1;
      for (size_t i = capacity; i < storage.size(); ++i) {
        if (storage[i] != kFill) {
          breaches.push_back(where + ": wrote past the buffer at " + std::to_string(i));
          break;
        }
      }
      if (storage[kept] != L'\0') breaches.push_back(where + ": not terminated after " + std::to_string(kept));
      if (std::wstring(storage.data(), kept) != text.substr(0, kept)) breaches.push_back(where + ": wrong text");
      if (written != kept) breaches.push_back(where + ": reported " + std::to_string(written));
    }
  }
  return breaches;
}

size_t Production(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  return tvr::FormatBoundedV(buffer, capacity, format, args);
}

// Two ways to get it wrong, to show that the check above catches them.
size_t WritesOnePast(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  const int n = _vsnwprintf(buffer, capacity + 1, format, args);
  const size_t end = n < 0 || static_cast<size_t>(n) > capacity ? capacity : static_cast<size_t>(n);
  buffer[end] = L'\0';
  return end;
}
size_t LeavesUnterminated(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  const int n = _vsnwprintf(buffer, capacity, format, args);
  return n < 0 || static_cast<size_t>(n) >= capacity ? capacity - 1 : static_cast<size_t>(n);
}

TEST(BoundedFormat, CutsAtCapacityAlwaysTerminatesAndNeverWritesPastTheBuffer) {
  const std::vector<std::string> breaches = BoundsBreaches(&Production);
  EXPECT_TRUE(breaches.empty()) << breaches.size() << " breaches, first: " << breaches.front();
}

TEST(BoundedFormat, TheBoundsCheckCatchesAnOverrunAndAMissingTerminator) {
  EXPECT_FALSE(BoundsBreaches(&WritesOnePast).empty());
  EXPECT_FALSE(BoundsBreaches(&LeavesUnterminated).empty());
}

TEST(BoundedFormat, ArrayFormCutsAt259OfTheFixedBuffer) {
  struct {
    wchar_t buffer[260];
    wchar_t guard[8];
  } storage;
  wmemset(storage.buffer, L'#', 260);
  wmemset(storage.guard, L'G', 8);
  const std::wstring longName(300, L'x');
  EXPECT_EQ(259u, tvr::FormatBounded(storage.buffer, L"%ls failed w/err 0x%08lx", longName.c_str(), 1UL));
  EXPECT_EQ(std::wstring(259, L'x'), std::wstring(storage.buffer));
  EXPECT_EQ(std::wstring(8, L'G'), std::wstring(storage.guard, 8));
}

TEST(BoundedFormat, ZeroCapacityWritesNothing) {
  wchar_t buffer[4] = {L'a', L'b', L'c', L'\0'};
  EXPECT_EQ(0u, tvr::FormatBounded(buffer, 0, L"%ls", L"zz"));
  EXPECT_STREQ(L"abc", buffer);
}

TEST(BoundedFormat, PadsMillisecondsWithBlanks) {
  wchar_t buffer[64];
  for (auto [ms, want] : {std::pair{7, L"t.  7"}, {42, L"t. 42"}, {123, L"t.123"}}) {
    tvr::FormatBounded(buffer, L"%ls.%3d", L"t", ms);
    EXPECT_STREQ(want, buffer);
  }
}

}  // namespace
