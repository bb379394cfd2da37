#include "log/log_pointer.h"

CLogFile* g_log = nullptr;

namespace {
// Shared for the length of one line, exclusive to publish or retire.
SRWLOCK g_logLock = SRWLOCK_INIT;
}  // namespace

void PublishLog(CLogFile* log) noexcept {
  ::AcquireSRWLockExclusive(&g_logLock);
  g_log = log;
  ::ReleaseSRWLockExclusive(&g_logLock);
}

void RetireLog(CLogFile* log) noexcept {
  ::AcquireSRWLockExclusive(&g_logLock);
  if (g_log == log) g_log = nullptr;
  ::ReleaseSRWLockExclusive(&g_logLock);
  // Every line that had found `log` published has ended by now (the exclusive
  // acquire waited for it), and no later line can find it: safe to free.
  delete log;
}

bool LogLine(CLogFile* log, int level, const wchar_t* function, const wchar_t* message) noexcept {
  if (log == nullptr) return false;
  ::AcquireSRWLockShared(&g_logLock);
  const bool written = (log == g_log) && log->Write(level, function, message);
  ::ReleaseSRWLockShared(&g_logLock);
  return written;
}

bool LogLine(int level, const wchar_t* function, const wchar_t* message) noexcept {
  ::AcquireSRWLockShared(&g_logLock);
  const bool written = (g_log != nullptr) && g_log->Write(level, function, message);
  ::ReleaseSRWLockShared(&g_logLock);
  return written;
}
