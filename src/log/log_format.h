#pragma once
// The pieces of one log line, kept free of clocks and files so that every byte
// of the layout can be checked directly.

#include <ctime>
#include <string>

// The 11-character level text of a level code ("[INFO]     " ...), or an empty
// text for a code outside 0 to 3.
const wchar_t* LogLevelText(int level) noexcept;

// Formats a local time and a millisecond count (0 to 999) as
// "YYYYmmdd_HH:MM:SS.mmm" with the milliseconds padded by blanks, not zeros.
// `out` is always terminated; an out-of-range time leaves only the milliseconds.
void FormatLogTimestamp(const std::tm& localTime, int milliseconds, wchar_t (&out)[64]) noexcept;

// Composes the whole line as the bytes that go to the file: level text, blank,
// timestamp, " | ", module, " | ", function, " | ", message, CR LF. Each
// character becomes the byte of the same value; characters above U+00FF
// cannot be stored in one byte and become '?'. Null texts count as empty.
// May throw std::bad_alloc.
std::string ComposeLogLine(int level, const wchar_t* timestamp, const wchar_t* moduleName,
                           const wchar_t* function, const wchar_t* message);

// The current local time formatted as by FormatLogTimestamp; seconds and
// milliseconds come from one reading of the clock.
void CurrentLogTimestamp(wchar_t (&out)[64]) noexcept;
