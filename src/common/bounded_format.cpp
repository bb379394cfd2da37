#include "common/bounded_format.h"

#include <cwchar>
#include <cstdio>

namespace tvr {

size_t FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  if (buffer == nullptr || capacity == 0) return 0;
  // _vsnwprintf neither promises a terminator nor a cut at the last character
  // on overflow, so the last slot is reserved and written by hand.
  const int n = _vsnwprintf(buffer, capacity - 1, format, args);
  if (n < 0 || static_cast<size_t>(n) >= capacity - 1) {
    buffer[capacity - 1] = L'\0';
    return wcslen(buffer);
  }
  buffer[n] = L'\0';
  return static_cast<size_t>(n);
}

size_t FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t written = FormatBoundedV(buffer, capacity, format, args);
  va_end(args);
  return written;
}

}  // namespace tvr
