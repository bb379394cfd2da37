#pragma once
// Bounded printf-style wide formatting into fixed buffers. A text longer than
// the buffer is cut to capacity - 1 characters and always NUL-terminated.
// Use %ls for wide strings: MinGW's C++ stdio reads %s as a narrow string.

#include <cstdarg>
#include <cstddef>

namespace tvr {

// Formats into `buffer` of `capacity` wide characters. Returns the number of
// characters written (without the terminator); a cut text counts as cut.
// Writes nothing when `capacity` is 0.
size_t FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
size_t FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

template <size_t N>
size_t FormatBounded(wchar_t (&buffer)[N], const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t written = FormatBoundedV(buffer, N, format, args);
  va_end(args);
  return written;
}

}  // namespace tvr
