#pragma once
// The optional diagnostic log: a registry switch read once at start, one file
// per account under the machine's application-data folder, one line per call.

#include <windows.h>

// Name of the module written into every line; also the service's name.
inline constexpr wchar_t kModuleName[] = L"TVRSvc";

// Capacity, in wide characters with the terminator, of the entry's log path
// buffer that CreateLog fills.
inline constexpr size_t kLogPathCapacity = 260;

// Level codes of `CLogFile::Write`. The service writes only INFO and ERROR.
enum LogLevel : int { kLogInfo = 0, kLogWarning = 1, kLogError = 2, kLogException = 3 };

class CLogFile {
 public:
  CLogFile(const wchar_t* path, const wchar_t* moduleName) noexcept : path(path), moduleName(moduleName) {}

  // Appends one line to the file. Returns false (and loses the line) when the
  // file cannot be opened; never throws.
  bool Write(int level, const wchar_t* function, const wchar_t* message) const noexcept;

  const wchar_t* path;        // not owned: the entry's log path buffer
  const wchar_t* moduleName;  // not owned: kModuleName
};

// The switch value as read (raw first four bytes), or -1 when the key cannot
// be opened. Only exactly 1 switches logging on.
int ReadLogSetting() noexcept;

// Where the log tells, once per refusal, that it refused a path of its own
// for safety (a link, a hard link, a folder someone else owns): without a word
// the administrator who switched it on would only see no lines. The service
// framework hands in its event-log writer; a refusal found before one is set
// (at start-up, say) is told when it is. Null: nobody can be told for now.
using LogRefusalReport = void (*)(const wchar_t* text) noexcept;
void SetLogRefusalReport(LogRefusalReport report) noexcept;

// Start-up: when the switch is on, composes the path into `pathBuffer` (260
// wide characters, all zeros), makes sure the folder exists and returns a new
// log object owned by the caller. Returns null when logging is off or the
// path cannot be composed whole.
CLogFile* CreateLog(wchar_t* pathBuffer) noexcept;
