#pragma once
// What a test needs to drive the shipped executable against the stand-ins:
// the firmware's state and events (through the stand-in provider's files and
// control pipe), its journal, the service through the real service manager,
// and the diagnostic log through the real registry switch and file.
#include <windows.h>

#include <string>
#include <vector>

namespace tvr_standin {

// --- the firmware stand-in ----------------------------------------------------

struct FirmwareState {
  unsigned posture = 1;     // usage-mode code GetFunction reports
  unsigned status = 0;      // status byte GetFunction reports
  HRESULT failConnect = S_OK;
  HRESULT failQuery = S_OK;
  HRESULT failMethod = S_OK;
};

// Writes the state the provider answers with from its next call on.
[[nodiscard]] bool WriteFirmwareState(const FirmwareState& state);

// The EventDetail bytes of a usage-mode change to `code` (kind 5, code in
// bytes 6-7, little-endian).
std::vector<BYTE> UsageModeEventDetail(unsigned code);

// Raises RuxeEvent with `detail` in process `pid`, on the provider's own
// thread: `calls` Indicate calls of `objects` objects each, to every live
// subscription of that process.
// Returns the number of subscriptions reached once every Indicate returned,
// or -1 when the provider could not be reached within `waitMs`.
int RaiseFirmwareEvent(DWORD pid, const std::vector<BYTE>& detail, unsigned objects = 1, unsigned calls = 1,
                       DWORD waitMs = 10000);

// The provider's journal, one entry per line (see firmware_wmi.cpp).
std::vector<std::string> ReadJournal();
// Journal lines of process `pid` from line `from` on that contain `needle`.
std::vector<std::string> JournalLines(const std::vector<std::string>& journal, DWORD pid, const std::string& needle,
                                      size_t from = 0);
// Objects that process `pid` was handed ("new #id kind") and never gave
// back ("free #id kind"), as "#id kind".
std::vector<std::string> UnreleasedObjects(const std::vector<std::string>& journal, DWORD pid);

// --- the service --------------------------------------------------------------

// Full path of the product executable: BUILD_DIR\TVRSvc.exe, one folder up
// from the folder of the running program.
std::wstring ProductExe();

// Runs `exe` with `arguments` and waits for it; returns its exit code, or
// -1 when it could not start or did not end in time. `output` gets what it
// printed.
long RunAndWait(const std::wstring& exe, const std::wstring& arguments, std::string* output, DWORD timeoutMs = 60000);

// The TVRSvc service through the service manager.
DWORD ServiceState();                    // 0 when not installed
[[nodiscard]] bool ServiceInstalled();
[[nodiscard]] bool StartInstalledService(DWORD* pid, DWORD timeoutMs = 20000);  // waits for RUNNING
[[nodiscard]] bool StopInstalledService(DWORD timeoutMs = 20000);  // waits for STOPPED and the process to end
// Stops and removes a leftover service; true when none is left.
bool RemoveServiceIfPresent();

// --- the diagnostic log ---------------------------------------------------------

// The real switch: HKLM\SOFTWARE\OEM\TVRSvc\Log, "TVRSvc" = REG_DWORD 1 (on)
// or no value (off).
[[nodiscard]] bool SetLogSwitch(bool on);
// Where the service running as a service under Wine writes: its ProgramData
// is C:\users\Public; the account name is this process's own.
std::wstring ServiceLogPath();
void DeleteServiceLog();

struct LogLine {
  std::string raw;
  bool wellFormed = false;  // level text, blank, timestamp, " | TVRSvc | ", CR LF
  std::string level;        // "[INFO]     ", ...
  std::string function;
  std::string message;
};
std::vector<LogLine> ReadServiceLog();

// Polls `condition` every 20 ms; false after `timeoutMs`.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount64() > end) return false;
    ::Sleep(20);
  }
}

}  // namespace tvr_standin
