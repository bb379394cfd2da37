#pragma once
// Test fixtures for the diagnostic log: a scoped PROGRAMDATA, a scoped
// "logging on" that hands out a real log object, and readers for the file.
//
// Typical use in another area's test:
//   tvr_test::ScopedLogging logging;              // switch on, fresh folder, g_log published
//   ... run the code under test ...
//   EXPECT_THAT(logging.Messages(), Contains("..."));

#include <windows.h>

#include <string>
#include <vector>

#include "common/registry_fixture.h"
#include "log/log_file.h"

namespace tvr_test {

// Sets (or, with null, removes) an environment variable for the scope.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::wstring name_;
  bool had_ = false;
  std::wstring old_;
};

// A fresh, empty folder under the temp folder, removed with all its contents
// at the end of the scope.
class ScopedTempFolder {
 public:
  ScopedTempFolder();
  ~ScopedTempFolder();
  ScopedTempFolder(const ScopedTempFolder&) = delete;
  ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// PROGRAMDATA pointed at a fresh temp folder for the scope.
class ScopedProgramData {
 public:
  ScopedProgramData();
  const std::wstring& folder() const { return folder_.path(); }

 private:
  ScopedTempFolder folder_;
  ScopedEnvironmentVariable variable_;
};

// Logging switched on for the scope: the registry switch, PROGRAMDATA at a
// fresh folder, the log made by the real CreateLog and (by default) published
// as the process's log. At the end the log is retired unless it was taken.
class ScopedLogging {
 public:
  enum class Publish { kYes, kNo };
  explicit ScopedLogging(Publish publish = Publish::kYes);
  ~ScopedLogging();
  ScopedLogging(const ScopedLogging&) = delete;
  ScopedLogging& operator=(const ScopedLogging&) = delete;

  CLogFile* log() const { return log_; }
  // Hands the log object to the caller (say, a service object that deletes
  // it). The path it points at lives in this fixture: keep the fixture alive
  // longer than the object.
  CLogFile* Take();
  const wchar_t* path() const { return pathBuffer_; }
  const std::wstring& programData() const { return programData_.folder(); }

  std::string Contents() const;                  // raw bytes of the file ("" when missing)
  std::vector<std::string> Lines() const;        // lines without their CR LF
  std::vector<std::string> Messages() const;     // message field of each well-formed line
  std::vector<std::string> Functions() const;    // function field of each well-formed line

 private:
  ScopedProgramData programData_;
  ScopedLogSwitch switch_;
  wchar_t pathBuffer_[kLogPathCapacity] = {};
  CLogFile* log_ = nullptr;
  bool published_ = false;
};

// One line split into its fields. `ParseLogLine` accepts only the exact
// layout: an 11-character level text or none, one blank, a 21-character
// timestamp "YYYYmmdd_HH:MM:SS.mmm" (milliseconds blank-padded), then module,
// function and message separated by " | ". The line is given without CR LF.
struct ParsedLogLine {
  std::string levelText;
  std::string timestamp;
  std::string module;
  std::string function;
  std::string message;
};
bool ParseLogLine(const std::string& line, ParsedLogLine* out);

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
// Splits at CR LF; a trailing piece without CR LF is returned as is, so a
// torn last line shows up in tests.
std::vector<std::string> SplitCrLf(const std::string& bytes);
// Deletes a file or a folder tree; quiet when it is missing.
void RemoveTree(const std::wstring& path);
bool PathExists(const std::wstring& path);
std::wstring CurrentUserName();

}  // namespace tvr_test
