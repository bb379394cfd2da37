#pragma once
// Runs a child program the way a user's console would, with its standard
// output and standard error captured through one pipe, and waits for it.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace tvr_test {

struct ProcessResult {
  bool started = false;         // CreateProcessW succeeded
  bool timedOut = false;        // the child (or its output) did not end in time
  DWORD exitCode = 0xFFFFFFFF;  // valid when started && !timedOut
  std::string output;           // raw bytes the child wrote
  DWORD startError = 0;         // GetLastError() of a failed CreateProcessW
};

// Extra environment variables for the child, on top of this process's own
// environment (a pair with an empty value removes the variable).
using EnvironmentOverrides = std::vector<std::pair<std::wstring, std::wstring>>;

// Starts `exePath` with `arguments` (already joined and quoted as a command
// line tail; may be empty) and waits at most `timeoutMs` for it to end.
ProcessResult RunProcess(const std::wstring& exePath, const std::wstring& arguments, DWORD timeoutMs = 30000,
                         const EnvironmentOverrides& environment = {});

// Full path of the folder that holds the running test program, ending in '\'.
std::wstring ThisProgramFolder();

// `text` with every CR LF pair turned into LF, for comparing console output
// written in text mode.
std::string WithUnixLineEnds(const std::string& text);

}  // namespace tvr_test
